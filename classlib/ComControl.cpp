#include "classlib/ComControl.h"

namespace {

// Where the control sits in its site's window, and the frame and document windows around it.
struct WindowContext {
    CComPtr<IOleInPlaceFrame> frame;
    CComPtr<IOleInPlaceUIWindow> document;
    RECT position{};
    RECT clip{};
    OLEINPLACEFRAMEINFO frameInfo{sizeof(OLEINPLACEFRAMEINFO)};

    HRESULT Read(IOleInPlaceSite* site) {
        return site->GetWindowContext(&frame, &document, &position, &clip, &frameInfo);
    }
};

}  // namespace

HRESULT CComControlBase::InPlaceActivate(LONG verb) {
    if (!m_spClientSite) return S_OK;
    // The site's calls may let go of the control: it stays alive until this call is over.
    CComPtr<IUnknown> keepAlive(ControlUnknown());
    if (!m_bInPlaceActive) {
        if (!m_spInPlaceSite) {
            KORVANE_RETURN_IF_FAILED(m_spClientSite.QueryInterface(IID_IOleInPlaceSite, &m_spInPlaceSite));
        }
        if (m_spInPlaceSite->CanInPlaceActivate() != S_OK) return E_FAIL;
        m_bInPlaceActive = true;
        const HRESULT hr = m_spInPlaceSite->OnInPlaceActivate();
        if (FAILED(hr)) {
            m_bInPlaceActive = false;
            return hr;
        }
    }

    HWND parent = nullptr;
    WindowContext context;
    HRESULT hr = m_spInPlaceSite->GetWindow(&parent);
    if (SUCCEEDED(hr)) hr = context.Read(m_spInPlaceSite);
    if (FAILED(hr)) {
        InPlaceDeactivate();
        return hr;
    }
    m_rcPos = context.position;
    if (!ControlWindow()) {
        if (!CreateControlWindow(parent, m_rcPos)) {
            InPlaceDeactivate();
            return E_FAIL;
        }
        OnControlWindowCreated();
    } else {
        SetWindowPos(ControlWindow(), nullptr, m_rcPos.left, m_rcPos.top, m_rcPos.right - m_rcPos.left,
                     m_rcPos.bottom - m_rcPos.top, SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    }

    if (verb == OLEIVERB_UIACTIVATE && !m_bUIActive) {
        m_bUIActive = true;
        m_spInPlaceSite->OnUIActivate();
        if (ControlWindow() && GetFocus() != ControlWindow() && !IsChild(ControlWindow(), GetFocus())) {
            SetFocus(ControlWindow());
        }
        CComPtr<IOleInPlaceActiveObject> active;
        if (SUCCEEDED(ControlUnknown()->QueryInterface(IID_IOleInPlaceActiveObject, active.ReceiveVoid()))) {
            if (context.frame) {
                context.frame->SetActiveObject(active, nullptr);
                context.frame->SetBorderSpace(nullptr);
            }
            if (context.document) {
                context.document->SetActiveObject(active, nullptr);
                context.document->SetBorderSpace(nullptr);
            }
        }
        if (m_spClientSite) m_spClientSite->ShowObject();
    }
    return S_OK;
}

HRESULT CComControlBase::UIDeactivate() {
    if (!m_bUIActive) return S_OK;
    CComPtr<IUnknown> keepAlive(ControlUnknown());
    m_bUIActive = false;
    if (m_spInPlaceSite) {
        WindowContext context;
        if (SUCCEEDED(context.Read(m_spInPlaceSite))) {
            if (context.document) context.document->SetActiveObject(nullptr, nullptr);
            if (context.frame) context.frame->SetActiveObject(nullptr, nullptr);
        }
        m_spInPlaceSite->OnUIDeactivate(FALSE);
    }
    return S_OK;
}

HRESULT CComControlBase::InPlaceDeactivate() {
    if (!m_bInPlaceActive) return S_OK;
    CComPtr<IUnknown> keepAlive(ControlUnknown());
    UIDeactivate();
    m_bInPlaceActive = false;
    DestroyControlWindow();
    if (CComPtr<IOleInPlaceSite> site = m_spInPlaceSite) {
        m_spInPlaceSite.Release();
        site->OnInPlaceDeactivate();
    }
    return S_OK;
}

HRESULT CComControlBase::SetClientSite(IOleClientSite* site) {
    m_spClientSite = site;
    return S_OK;
}

HRESULT CComControlBase::CloseControl() {
    CComPtr<IUnknown> keepAlive(ControlUnknown());
    OnControlWindowGoing();
    InPlaceDeactivate();
    if (m_spOleAdviseHolder) m_spOleAdviseHolder->SendOnClose();
    return S_OK;
}

HRESULT CComControlBase::SetObjectRects(const RECT* position, const RECT* clip) {
    if (!position || !clip) return E_POINTER;
    m_rcPos = *position;
    if (HWND window = ControlWindow()) {
        SetWindowPos(window, nullptr, position->left, position->top, position->right - position->left,
                     position->bottom - position->top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    return S_OK;
}

void CComControlBase::FireViewChange() {
    if (HWND window = ControlWindow()) {
        InvalidateRect(window, nullptr, TRUE);
    } else if (m_spAdviseSink) {
        m_spAdviseSink->OnViewChange(DVASPECT_CONTENT, -1);
    }
}

BOOL CComControlBase::ProcessControlMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                            LRESULT& result) {
    switch (message) {
        case WM_PAINT: {
            CPaintDC dc(window);
            if (!dc.Get()) return FALSE;
            RECT client{};
            GetClientRect(window, &client);
            const RECTL bounds{client.left, client.top, client.right, client.bottom};
            ControlDrawInfo drawInfo{DVASPECT_CONTENT, -1, dc.Get(), &bounds};
            OnDraw(drawInfo);
            result = 0;
            return TRUE;
        }
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            if (m_bInPlaceActive && m_spClientSite) {
                CComPtr<IOleControlSite> site;
                if (SUCCEEDED(m_spClientSite.QueryInterface(IID_IOleControlSite, &site))) {
                    site->OnFocus(message == WM_SETFOCUS);
                }
            }
            return FALSE;
        case WM_MOUSEACTIVATE:
            if (m_bInPlaceActive && !m_bUIActive) InPlaceActivate(OLEIVERB_UIACTIVATE);
            return FALSE;
        case WM_DESTROY:
            OnControlWindowGoing();
            return FALSE;
        default:
            return FALSE;
    }
}

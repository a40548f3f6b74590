// The standard OLE implementations of a windowed control T (a CComControl<T>): IOleObject (the site,
// DoVerb with in-place activation, the extent, the misc-status bits from the registry, Close),
// IOleInPlaceObjectWindowless with IOleInPlaceObject and IOleWindow, IOleInPlaceActiveObject and IOleControl.
// T lists the interfaces in its QueryInterface table; each implementation works on T's control state.
#pragma once

#include <windows.h>

#include <ocidl.h>
#include <ole2.h>
#include <olectl.h>
#include <oleidl.h>

#include "classlib/ComControl.h"

template <class T>
class IOleObjectImpl : public IOleObject {
public:
    STDMETHOD(SetClientSite)(IOleClientSite* site) override {
        return Control()->CComControlBase::SetClientSite(site);
    }
    STDMETHOD(GetClientSite)(IOleClientSite** out) override {
        if (!out) return E_POINTER;
        return Control()->m_spClientSite.CopyTo(out);
    }
    STDMETHOD(SetHostNames)(LPCOLESTR, LPCOLESTR) override { return S_OK; }
    STDMETHOD(Close)(DWORD /*saveOption*/) override { return Control()->CloseControl(); }
    STDMETHOD(SetMoniker)(DWORD, IMoniker*) override { return E_NOTIMPL; }
    STDMETHOD(GetMoniker)(DWORD, DWORD, IMoniker** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    STDMETHOD(InitFromData)(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
    STDMETHOD(GetClipboardData)(DWORD, IDataObject** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    STDMETHOD(DoVerb)(LONG verb, LPMSG, IOleClientSite*, LONG, HWND, LPCRECT) override {
        switch (verb) {
            case OLEIVERB_PRIMARY:
            case OLEIVERB_UIACTIVATE:
                return Control()->InPlaceActivate(OLEIVERB_UIACTIVATE);
            case OLEIVERB_SHOW:
            case OLEIVERB_INPLACEACTIVATE:
                return Control()->InPlaceActivate(OLEIVERB_INPLACEACTIVATE);
            case OLEIVERB_HIDE:
                Control()->CComControlBase::UIDeactivate();
                if (HWND window = Control()->ControlWindow()) ShowWindow(window, SW_HIDE);
                return S_OK;
            case OLEIVERB_DISCARDUNDOSTATE:
                return S_OK;
            default:
                return verb > 0 ? OLEOBJ_S_INVALIDVERB : E_NOTIMPL;
        }
    }
    STDMETHOD(EnumVerbs)(IEnumOLEVERB** out) override {
        if (!out) return E_POINTER;
        return OleRegEnumVerbs(T::GetObjectCLSID(), out);
    }
    STDMETHOD(Update)() override { return S_OK; }
    STDMETHOD(IsUpToDate)() override { return S_OK; }
    STDMETHOD(GetUserClassID)(CLSID* out) override {
        if (!out) return E_POINTER;
        *out = T::GetObjectCLSID();
        return S_OK;
    }
    STDMETHOD(GetUserType)(DWORD form, LPOLESTR* out) override {
        if (!out) return E_POINTER;
        return OleRegGetUserType(T::GetObjectCLSID(), form, out);
    }
    STDMETHOD(SetExtent)(DWORD aspect, SIZEL* size) override {
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        if (!size) return E_POINTER;
        Control()->m_sizeExtent = *size;
        Control()->m_bRequiresSave = true;
        return S_OK;
    }
    STDMETHOD(GetExtent)(DWORD aspect, SIZEL* size) override {
        if (!size) return E_POINTER;
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        *size = Control()->m_sizeExtent;
        return S_OK;
    }
    STDMETHOD(Advise)(IAdviseSink* sink, DWORD* cookie) override {
        if (!cookie) return E_POINTER;
        *cookie = 0;
        CComPtr<IOleAdviseHolder>& holder = Control()->m_spOleAdviseHolder;
        if (!holder) KORVANE_RETURN_IF_FAILED(CreateOleAdviseHolder(&holder));
        return holder->Advise(sink, cookie);
    }
    STDMETHOD(Unadvise)(DWORD cookie) override {
        if (!Control()->m_spOleAdviseHolder) return OLE_E_NOCONNECTION;
        return Control()->m_spOleAdviseHolder->Unadvise(cookie);
    }
    STDMETHOD(EnumAdvise)(IEnumSTATDATA** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!Control()->m_spOleAdviseHolder) return S_OK;
        return Control()->m_spOleAdviseHolder->EnumAdvise(out);
    }
    // The bits registered under the class's MiscStatus key.
    STDMETHOD(GetMiscStatus)(DWORD aspect, DWORD* status) override {
        if (!status) return E_POINTER;
        return OleRegGetMiscStatus(T::GetObjectCLSID(), aspect, status);
    }
    STDMETHOD(SetColorScheme)(LOGPALETTE*) override { return E_NOTIMPL; }

private:
    T* Control() { return static_cast<T*>(this); }
};

template <class T>
class IOleInPlaceObjectWindowlessImpl : public IOleInPlaceObjectWindowless {
public:
    // IOleWindow
    STDMETHOD(GetWindow)(HWND* window) override {
        if (!window) return E_POINTER;
        *window = static_cast<T*>(this)->ControlWindow();
        return *window ? S_OK : E_FAIL;
    }
    STDMETHOD(ContextSensitiveHelp)(BOOL) override { return E_NOTIMPL; }
    // IOleInPlaceObject
    STDMETHOD(InPlaceDeactivate)() override {
        return static_cast<T*>(this)->CComControlBase::InPlaceDeactivate();
    }
    STDMETHOD(UIDeactivate)() override { return static_cast<T*>(this)->CComControlBase::UIDeactivate(); }
    STDMETHOD(SetObjectRects)(LPCRECT position, LPCRECT clip) override {
        return static_cast<T*>(this)->CComControlBase::SetObjectRects(position, clip);
    }
    STDMETHOD(ReactivateAndUndo)() override { return E_NOTIMPL; }
    // IOleInPlaceObjectWindowless: the control is windowed only, so a windowless container gets nothing here.
    STDMETHOD(OnWindowMessage)(UINT, WPARAM, LPARAM, LRESULT* result) override {
        if (result) *result = 0;
        return S_FALSE;
    }
    STDMETHOD(GetDropTarget)(IDropTarget** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        return E_NOTIMPL;
    }
};

template <class T>
class IOleInPlaceActiveObjectImpl : public IOleInPlaceActiveObject {
public:
    STDMETHOD(GetWindow)(HWND* window) override {
        if (!window) return E_POINTER;
        *window = static_cast<T*>(this)->ControlWindow();
        return *window ? S_OK : E_FAIL;
    }
    STDMETHOD(ContextSensitiveHelp)(BOOL) override { return E_NOTIMPL; }
    STDMETHOD(TranslateAccelerator)(LPMSG) override { return S_FALSE; }
    STDMETHOD(OnFrameWindowActivate)(BOOL) override { return S_OK; }
    STDMETHOD(OnDocWindowActivate)(BOOL activate) override {
        if (!activate) static_cast<T*>(this)->CComControlBase::UIDeactivate();
        return S_OK;
    }
    STDMETHOD(ResizeBorder)(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
    STDMETHOD(EnableModeless)(BOOL) override { return S_OK; }
};

template <class T>
class IOleControlImpl : public IOleControl {
public:
    STDMETHOD(GetControlInfo)(CONTROLINFO* info) override { return E_NOTIMPL; }
    STDMETHOD(OnMnemonic)(MSG*) override { return E_NOTIMPL; }
    STDMETHOD(OnAmbientPropertyChange)(DISPID) override { return S_OK; }
    STDMETHOD(FreezeEvents)(BOOL freeze) override {
        ULONG& count = static_cast<T*>(this)->m_freezeEvents;
        if (freeze) {
            ++count;
        } else if (count > 0) {
            --count;
        }
        return S_OK;
    }
};

// The base of a windowed ActiveX control: its client site, its in-place state, its extent and natural extent
// (HIMETRIC), the control window it makes in its container's window, and its drawing (OnDraw).
//
// A control class T derives from CComControl<T, style, exStyle> and from the standard implementations it
// answers (IOleObjectImpl<T>, IOleInPlaceObjectWindowlessImpl<T>, IOleInPlaceActiveObjectImpl<T>,
// IOleControlImpl<T>, IViewObjectExImpl<T>, IPersistStreamInitImpl<T>), overrides OnDraw and, when it wants
// to know, OnControlWindowCreated and OnControlWindowGoing. The control window is made by in-place activation
// (IOleObject::DoVerb through the site's IOleInPlaceSite) and destroyed by in-place deactivation or Close.
#pragma once

#include <windows.h>

#include <ocidl.h>
#include <olectl.h>
#include <oleidl.h>

#include "classlib/ComObject.h"
#include "classlib/Owners.h"
#include "classlib/Window.h"

// What OnDraw draws on: the device context and the bounds, in its logical units.
struct ControlDrawInfo {
    DWORD drawAspect;
    LONG index;
    HDC hdcDraw;
    const RECTL* prcBounds;
};

class CComControlBase {
public:
    CComControlBase() = default;
    virtual ~CComControlBase() = default;
    CComControlBase(const CComControlBase&) = delete;
    CComControlBase& operator=(const CComControlBase&) = delete;

    // Draws the control; the default draws nothing.
    virtual HRESULT OnDraw(ControlDrawInfo& drawInfo) { return S_OK; }

    // In-place activation through the client site's IOleInPlaceSite: makes the control window in the site's
    // window (or moves it there), and for OLEIVERB_UIACTIVATE makes the control the UI-active object.
    HRESULT InPlaceActivate(LONG verb);
    HRESULT InPlaceDeactivate();
    HRESULT UIDeactivate();
    HRESULT SetClientSite(IOleClientSite* site);
    HRESULT CloseControl();
    HRESULT SetObjectRects(const RECT* position, const RECT* clip);
    // Repaints the window, or tells the view's advise sink when there is no window.
    void FireViewChange();

    // The control window, or null while the control is not active in place.
    virtual HWND ControlWindow() const = 0;

    CComPtr<IOleClientSite> m_spClientSite;
    CComPtr<IOleInPlaceSite> m_spInPlaceSite;
    CComPtr<IOleAdviseHolder> m_spOleAdviseHolder;
    CComPtr<IAdviseSink> m_spAdviseSink;  // IViewObject::SetAdvise
    DWORD m_adviseAspects = 0;
    DWORD m_adviseFlags = 0;
    SIZEL m_sizeExtent{2540, 2540};   // HIMETRIC
    SIZEL m_sizeNatural{2540, 2540};  // HIMETRIC
    RECT m_rcPos{};                   // in the container's window, pixels
    bool m_bWindowOnly = true;        // never activates windowless
    bool m_bInPlaceActive = false;
    bool m_bUIActive = false;
    bool m_bRequiresSave = false;
    ULONG m_freezeEvents = 0;

protected:
    // The control's own identity (for references to itself and the interfaces it hands to its site).
    virtual IUnknown* ControlUnknown() = 0;
    virtual HWND CreateControlWindow(HWND parent, const RECT& position) = 0;
    virtual void DestroyControlWindow() = 0;
    // Hooks of the control class: the window was just made; the window is about to go (WM_DESTROY, Close).
    virtual void OnControlWindowCreated() {}
    virtual void OnControlWindowGoing() {}

    // The standard control handling of window messages; FALSE lets the default procedure have them too.
    BOOL ProcessControlMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
};

// The control window: a child window of the given style in the container's window, whose messages go
// through the standard control handling (WM_PAINT, WM_SETFOCUS, WM_KILLFOCUS, WM_MOUSEACTIVATE, and
// WM_DESTROY for OnControlWindowGoing); every other message, reflected notifications included, goes to the
// default window procedure.
template <class T, DWORD windowStyle = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
          DWORD windowExStyle = 0>
class CComControl : public CComControlBase, public CWindowImpl<T> {
public:
    static const wchar_t* GetWndClassName() { return L"KorvaneControlWindow"; }
    static WindowClassInfo GetWndClassInfo() {
        WindowClassInfo info{GetWndClassName()};
        info.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
        return info;
    }
    static const WindowMessageEntry<T>* GetMessageMap() {
        static const WindowMessageEntry<T> map[] = {
            {WM_PAINT, WM_PAINT, &CComControl::OnControlMessage},
            {WM_SETFOCUS, WM_SETFOCUS, &CComControl::OnControlMessage},
            {WM_KILLFOCUS, WM_KILLFOCUS, &CComControl::OnControlMessage},
            {WM_MOUSEACTIVATE, WM_MOUSEACTIVATE, &CComControl::OnControlMessage},
            {WM_DESTROY, WM_DESTROY, &CComControl::OnControlMessage},
            {0, 0, nullptr},
        };
        return map;
    }

    // The window goes while the control is still whole, so its WM_DESTROY reaches OnControlWindowGoing.
    ~CComControl() override { this->DestroyWindow(); }

    HWND ControlWindow() const override { return this->GetHwnd(); }

protected:
    IUnknown* ControlUnknown() override { return ComGetUnknown(static_cast<T*>(this)); }
    HWND CreateControlWindow(HWND parent, const RECT& position) override {
        return this->Create(parent, position, windowStyle, windowExStyle);
    }
    void DestroyControlWindow() override { this->DestroyWindow(); }

private:
    LRESULT OnControlMessage(UINT message, WPARAM wParam, LPARAM lParam, bool& handled) {
        LRESULT result = 0;
        handled = ProcessControlMessage(this->GetHwnd(), message, wParam, lParam, result);
        return result;
    }
};

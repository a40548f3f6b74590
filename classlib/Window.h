// A window owned by a C++ object: the window class is registered once per process (and unregistered when the
// module unloads), the window's messages go to the object's message map, and the object destroys its window
// when it goes. The window belongs to the thread that creates it: create, use and destroy it there.
//
// Use: derive T from CWindowImpl<T>, name the class and list the handlers; a message the map does not name,
// or whose handler clears `handled`, goes to DefWindowProcW.
//     class CPageWindow : public CWindowImpl<CPageWindow> {
//     public:
//         static const wchar_t* GetWndClassName() { return L"KorvanePageWindow"; }
//         static const WindowMessageEntry<CPageWindow>* GetMessageMap() {
//             static const WindowMessageEntry<CPageWindow> map[] = {
//                 {WM_TIMER, WM_TIMER, &CPageWindow::OnTimer},
//                 {WM_APP, WM_APP + 9, &CPageWindow::OnSignal},  // a range of messages, both ends included
//                 {0, 0, nullptr},                                 // the end
//             };
//             return map;
//         }
//         LRESULT OnTimer(UINT message, WPARAM wParam, LPARAM lParam, bool& handled);
//         LRESULT OnSignal(UINT message, WPARAM wParam, LPARAM lParam, bool& handled);
//     };
//     CPageWindow window;
//     if (!window.CreateMessageOnly()) return HRESULT_FROM_WIN32(GetLastError());
//     // or, for a control: window.Create(parent, rect, WS_CHILD | WS_VISIBLE, WS_EX_ACCEPTFILES, id)
// A class that needs a class style, cursor or background hides GetWndClassInfo() with its own.
//
// The object is tied to its window at creation only, never by what a message carries, so a message another
// program sends or posts can reach the map but cannot point the window at another object. A class that
// takes WM_APP-range signals must still treat their parameters as untrusted input.
#pragma once

#include <windows.h>

// What the window class is registered with.
struct WindowClassInfo {
    const wchar_t* name;
    UINT style = 0;
    // A system cursor (IDC_ARROW...) or null for none.
    const wchar_t* cursor = IDC_ARROW;
    HBRUSH background = nullptr;
};

// The part that does not depend on the derived type: registration, creation, the window procedure.
class CWindowBase {
public:
    CWindowBase() = default;
    CWindowBase(const CWindowBase&) = delete;
    CWindowBase& operator=(const CWindowBase&) = delete;
    // Destroys the window if it is still there. The derived part is already gone by then, so the messages
    // of that destruction go to DefWindowProcW; a class that wants its WM_DESTROY calls DestroyWindow first.
    virtual ~CWindowBase();

    HWND GetHwnd() const { return hwnd_; }
    operator HWND() const { return hwnd_; }
    // True when the window was there and is destroyed now.
    bool DestroyWindow();

protected:
    // Registers the class once per process (per module instance) and creates the window; null on failure,
    // with the reason in GetLastError. Fails if this object already has a window.
    HWND CreateWindowOfClass(const WindowClassInfo& info, HWND parent, const RECT& rect, DWORD style,
                             DWORD exStyle, UINT_PTR id, const wchar_t* title);
    // The derived map: true when a handler took the message, with its result.
    virtual bool ProcessWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                      LRESULT& result) = 0;
    // The window's last message (WM_NCDESTROY) has been handled; the window is gone.
    virtual void OnFinalMessage(HWND /*window*/) {}

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static bool RegisterOnce(const WindowClassInfo& info, HINSTANCE instance);

    HWND hwnd_ = nullptr;
};

// One line of a message map: messages first..last (both included) go to handler. The handler's `handled`
// starts true; a handler that clears it lets DefWindowProcW have the message too, and its result is unused.
template <class T>
struct WindowMessageEntry {
    UINT first;
    UINT last;
    LRESULT (T::*handler)(UINT message, WPARAM wParam, LPARAM lParam, bool& handled);
};

template <class T>
class CWindowImpl : public CWindowBase {
public:
    // The class info by default: T::GetWndClassName(), no style, the arrow cursor, no background.
    static WindowClassInfo GetWndClassInfo() { return WindowClassInfo{T::GetWndClassName()}; }

    // A message-only window (parent HWND_MESSAGE): never shown, not enumerated as a top-level window.
    HWND CreateMessageOnly() {
        return CreateWindowOfClass(T::GetWndClassInfo(), HWND_MESSAGE, RECT{}, 0, 0, 0, L"");
    }
    // A window with the given styles; a child window (WS_CHILD) takes id as its control identifier.
    HWND Create(HWND parent, const RECT& rect, DWORD style, DWORD exStyle = 0, UINT id = 0,
                const wchar_t* title = L"") {
        return CreateWindowOfClass(T::GetWndClassInfo(), parent, rect, style, exStyle, id, title);
    }

protected:
    bool ProcessWindowMessage(HWND /*window*/, UINT message, WPARAM wParam, LPARAM lParam,
                              LRESULT& result) override {
        for (const WindowMessageEntry<T>* entry = T::GetMessageMap(); entry && entry->handler; ++entry) {
            if (message < entry->first || message > entry->last) continue;
            bool handled = true;
            const LRESULT answer = (static_cast<T*>(this)->*entry->handler)(message, wParam, lParam, handled);
            if (!handled) return false;
            result = answer;
            return true;
        }
        return false;
    }
};

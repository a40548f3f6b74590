// A window of a class of our own whose messages go to a C++ object: T derives from CWindowImpl<T> and
// declares its message map as
//     BOOL ProcessWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
// returning TRUE for a message it handled (result is then the answer) and FALSE to let DefWindowProcW have it.
// Create makes the window on the calling thread; the window class is registered once per module under
// T::GetWindowClassName(). The object must outlive its window, or destroy it first (DestroyWindow);
// OnFinalMessage runs after the window's last message.
#pragma once

#include <windows.h>

class CWindowImplBase {
public:
    CWindowImplBase() = default;
    CWindowImplBase(const CWindowImplBase&) = delete;
    CWindowImplBase& operator=(const CWindowImplBase&) = delete;
    virtual ~CWindowImplBase();

    HWND m_hWnd = nullptr;

    BOOL DestroyWindow();
    bool IsWindow() const { return m_hWnd && ::IsWindow(m_hWnd); }

protected:
    using MessageFunction = BOOL (*)(CWindowImplBase* self, HWND, UINT, WPARAM, LPARAM, LRESULT&);
    HWND CreateOfClass(const wchar_t* className, MessageFunction process, HWND parent, const RECT& rect,
                       const wchar_t* name, DWORD style, DWORD exStyle);
    // After WM_NCDESTROY, when m_hWnd is null again.
    virtual void OnFinalMessage(HWND /*window*/) {}

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    MessageFunction process_ = nullptr;
};

template <class T>
class CWindowImpl : public CWindowImplBase {
public:
    HWND Create(HWND parent, const RECT& rect, const wchar_t* name, DWORD style, DWORD exStyle = 0) {
        return CreateOfClass(T::GetWindowClassName(), &Process, parent, rect, name, style, exStyle);
    }

private:
    static BOOL Process(CWindowImplBase* self, HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                        LRESULT& result) {
        return static_cast<T*>(self)->ProcessWindowMessage(window, message, wParam, lParam, result);
    }
};

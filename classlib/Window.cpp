// The window classes of CWindowImpl: registration once per process, creation and the shared window procedure.
#include "classlib/Window.h"

#include <string>
#include <vector>

#include "classlib/ComModule.h"
#include "classlib/ComResult.h"
#include "classlib/Owners.h"

namespace {

// The object whose window this thread is creating right now: the window procedure ties the new window to it
// on the window's first message. Nothing a message carries is ever taken as the object.
thread_local CWindowBase* creatingWindow = nullptr;

// The window's own extra bytes hold its object; the class reserves them, so no other code uses them.
constexpr int kObjectSlot = 0;

// The classes this module registered, unregistered when it unloads (a class left behind would keep a
// procedure that is gone with the DLL).
SlimLock registrationLock;
std::vector<std::wstring>* registeredClasses = nullptr;

HINSTANCE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<const wchar_t*>(&ThisModule), &module);
    return module;
}

void UnregisterClasses(void* instance) {
    ScopedLock hold(registrationLock);
    if (registeredClasses) {
        for (const std::wstring& name : *registeredClasses)
            UnregisterClassW(name.c_str(), static_cast<HINSTANCE>(instance));
        delete registeredClasses;
        registeredClasses = nullptr;
    }
}

}  // namespace

CWindowBase::~CWindowBase() {
    if (!hwnd_) return;
    // The derived object is gone: the window's remaining messages must not reach it.
    SetWindowLongPtrW(hwnd_, kObjectSlot, 0);
    ::DestroyWindow(hwnd_);
    hwnd_ = nullptr;
}

bool CWindowBase::DestroyWindow() {
    if (!hwnd_) return false;
    // WM_NCDESTROY clears hwnd_.
    return ::DestroyWindow(hwnd_) != FALSE;
}

bool CWindowBase::RegisterOnce(const WindowClassInfo& info, HINSTANCE instance) {
    ScopedLock hold(registrationLock);
    auto registerClass = [&]() -> bool {
        if (registeredClasses) {
            for (const std::wstring& name : *registeredClasses)
                if (name == info.name) return true;
        }
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.style = info.style;
        windowClass.lpfnWndProc = &CWindowBase::WindowProc;
        windowClass.cbWndExtra = sizeof(LONG_PTR);
        windowClass.hInstance = instance;
        windowClass.hCursor = info.cursor ? LoadCursorW(nullptr, info.cursor) : nullptr;
        windowClass.hbrBackground = info.background;
        windowClass.lpszClassName = info.name;
        if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
        if (!registeredClasses) {
            registeredClasses = new std::vector<std::wstring>;
            if (CAtlModule* module = CAtlModule::Get()) module->AddTermFunc(&UnregisterClasses, instance);
        }
        registeredClasses->emplace_back(info.name);
        return true;
    };
    bool registered = false;
    if (FAILED(Guarded([&] { registered = registerClass(); }))) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return registered;
}

HWND CWindowBase::CreateWindowOfClass(const WindowClassInfo& info, HWND parent, const RECT& rect, DWORD style,
                                      DWORD exStyle, UINT_PTR id, const wchar_t* title) {
    if (hwnd_ || !info.name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const HINSTANCE instance = ThisModule();
    if (!RegisterOnce(info, instance)) return nullptr;
    CWindowBase* const outer = creatingWindow;
    creatingWindow = this;
    // A child window's menu argument is its identifier.
    const HMENU menu = (style & WS_CHILD) ? reinterpret_cast<HMENU>(id) : nullptr;
    const HWND window =
        CreateWindowExW(exStyle, info.name, title ? title : L"", style, rect.left, rect.top,
                        rect.right - rect.left, rect.bottom - rect.top, parent, menu, instance, nullptr);
    const DWORD error = GetLastError();
    creatingWindow = outer;
    if (!window) {
        hwnd_ = nullptr;
        SetLastError(error ? error : ERROR_CANNOT_MAKE);
        return nullptr;
    }
    return window;
}

LRESULT CALLBACK CWindowBase::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CWindowBase*>(GetWindowLongPtrW(window, kObjectSlot));
    if (!self && creatingWindow && !creatingWindow->hwnd_) {
        // The first message of the window this thread is creating.
        self = creatingWindow;
        self->hwnd_ = window;
        SetWindowLongPtrW(window, kObjectSlot, reinterpret_cast<LONG_PTR>(self));
    }
    if (!self) return DefWindowProcW(window, message, wParam, lParam);

    LRESULT result = 0;
    if (!self->ProcessWindowMessage(window, message, wParam, lParam, result))
        result = DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, kObjectSlot, 0);
        self->hwnd_ = nullptr;
        self->OnFinalMessage(window);
    }
    return result;
}

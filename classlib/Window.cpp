#include "classlib/Window.h"

#include "classlib/ComModule.h"


namespace {

HINSTANCE ModuleInstance() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ModuleInstance), &module);
    return module;
}

struct CreateParameters {
    CWindowImplBase* self;
};

}  // namespace

CWindowImplBase::~CWindowImplBase() { DestroyWindow(); }

BOOL CWindowImplBase::DestroyWindow() {
    if (!m_hWnd) return FALSE;
    return ::DestroyWindow(m_hWnd);
}

HWND CWindowImplBase::CreateOfClass(const wchar_t* className, MessageFunction process, HWND parent,
                                    const RECT& rect, const wchar_t* name, DWORD style, DWORD exStyle) {
    if (m_hWnd) return nullptr;
    const HINSTANCE instance = ModuleInstance();
    WNDCLASSEXW existing{sizeof existing};
    if (!GetClassInfoExW(instance, className, &existing)) {
        WNDCLASSEXW windowClass{sizeof windowClass};
        windowClass.lpfnWndProc = &CWindowImplBase::WindowProc;
        windowClass.hInstance = instance;
        windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        windowClass.lpszClassName = className;
        if (!RegisterClassExW(&windowClass)) {
            if (GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;
        } else if (CAtlModule* module = CAtlModule::Get()) {
            // The class goes with the module: a later load of the DLL registers it again with its own procedure.
            // className has static storage (T::GetWindowClassName()).
            module->AddTermFunc(
                [](void* name) { UnregisterClassW(static_cast<const wchar_t*>(name), ModuleInstance()); },
                const_cast<wchar_t*>(className));
        }
    }
    process_ = process;
    CreateParameters parameters{this};
    return CreateWindowExW(exStyle, className, name, style, rect.left, rect.top, rect.right - rect.left,
                           rect.bottom - rect.top, parent, nullptr, instance, &parameters);
}

LRESULT CALLBACK CWindowImplBase::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CWindowImplBase*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self && message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        self = static_cast<const CreateParameters*>(create->lpCreateParams)->self;
        self->m_hWnd = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    if (!self) return DefWindowProcW(window, message, wParam, lParam);
    LRESULT result = 0;
    const BOOL handled = self->process_(self, window, message, wParam, lParam, result);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        self->m_hWnd = nullptr;
        if (!handled) result = DefWindowProcW(window, message, wParam, lParam);
        self->OnFinalMessage(window);
        return result;
    }
    return handled ? result : DefWindowProcW(window, message, wParam, lParam);
}

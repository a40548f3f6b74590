// Calls a server DLL's DllInstall with a command line regsvr32 cannot give (none at all, a null pointer)
// or any other, and prints the HRESULT. usage: InstallHelper install|uninstall DLL [COMMAND-LINE]
#include <windows.h>

#include <objbase.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3 || argc > 4) {
        std::fwprintf(stderr, L"usage: InstallHelper install|uninstall DLL [COMMAND-LINE]\n");
        return 2;
    }
    const bool install = std::wcscmp(argv[1], L"install") == 0;
    HMODULE dll = LoadLibraryW(argv[2]);
    if (!dll) {
        std::fwprintf(stderr, L"cannot load %ls: %lu\n", argv[2], GetLastError());
        return 2;
    }
    using DllInstallFunction = HRESULT(WINAPI*)(BOOL, LPCWSTR);
    auto dllInstall =
        reinterpret_cast<DllInstallFunction>(reinterpret_cast<void*>(GetProcAddress(dll, "DllInstall")));
    if (!dllInstall) {
        std::fwprintf(stderr, L"%ls exports no DllInstall\n", argv[2]);
        return 2;
    }
    // As regsvr32 does, the call runs in an initialised apartment.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const HRESULT hr = dllInstall(install ? TRUE : FALSE, argc == 4 ? argv[3] : nullptr);
    CoUninitialize();
    std::printf("%08lx\n", static_cast<unsigned long>(hr));
    return hr == S_OK ? 0 : 1;
}

// The DLL's entry point and its five exports (Korvane.def.in names them).
//
// The DLL carries the merged proxy/stub of its dual interfaces (ProxyStub.c), so calls between apartments
// (the Global Interface Table's among them) go through marshalling code of its own. Each export asks the
// proxy/stub first or last, as the part it plays requires: its factory (CLSID = the IID of IKorvane) is
// served before the classes, its proxies and stubs keep the DLL loaded, and its interface entries are
// written after the type library's, whose registration names the type-library marshaller for the same
// interfaces.
#include <windows.h>

#include "classlib/Owners.h"
#include "com/DovrinModule.h"
#include "com/ProxyStub.h"

CDovrinModule _AtlModule;

namespace {

// Under per-user registration the proxy/stub's entries go under HKEY_CURRENT_USER\Software\Classes, like
// the scripts': HKEY_CLASSES_ROOT is redirected there for the process while the proxy/stub writes or removes
// them, and put back on every path.
class ClassesRootOfUser {
public:
    ClassesRootOfUser() {
        // Closed at the end of the constructor: the override keeps its own handle.
        UniqueRegistryKey classes;
        result_ = HRESULT_FROM_WIN32(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0,
                                                     KEY_ALL_ACCESS, nullptr, classes.Receive(), nullptr));
        if (FAILED(result_)) return;
        result_ = HRESULT_FROM_WIN32(RegOverridePredefKey(HKEY_CLASSES_ROOT, classes.Get()));
        overridden_ = SUCCEEDED(result_);
    }
    ~ClassesRootOfUser() {
        if (overridden_) RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    }
    ClassesRootOfUser(const ClassesRootOfUser&) = delete;
    ClassesRootOfUser& operator=(const ClassesRootOfUser&) = delete;
    HRESULT Result() const { return result_; }

private:
    HRESULT result_ = S_OK;
    bool overridden_ = false;
};

// Runs one of the proxy/stub's registration entry points where the module registers.
HRESULT RunProxyStubRegistration(HRESULT(WINAPI* step)()) {
    if (!_AtlModule.GetPerUserRegistration()) return step();
    ClassesRootOfUser userClasses;
    if (FAILED(userClasses.Result())) return userClasses.Result();
    return step();
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (!PrxDllMain(instance, reason, reserved)) return FALSE;
    return _AtlModule.DllMain(reason, reserved);
}

STDAPI DllCanUnloadNow() {
    const HRESULT proxyStub = PrxDllCanUnloadNow();
    if (proxyStub != S_OK) return proxyStub;
    return _AtlModule.DllCanUnloadNow();
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
    // The proxy/stub's lookup writes through the out-pointer before it checks anything.
    if (!out) return E_POINTER;
    if (PrxDllGetClassObject(clsid, iid, out) == S_OK) return S_OK;
    return _AtlModule.DllGetClassObject(clsid, iid, out);
}

// The AppID, the classes and the type library, then the proxy/stub's interface and factory entries.
STDAPI DllRegisterServer() {
    const HRESULT hr = _AtlModule.DllRegisterServer();
    if (FAILED(hr)) return hr;
    return RunProxyStubRegistration(&PrxDllRegisterServer);
}

// The classes, the type library and the AppID go first; then the proxy/stub's entries are written once more
// and removed, so that they go whatever state the registry was in.
STDAPI DllUnregisterServer() {
    HRESULT hr = _AtlModule.DllUnregisterServer();
    if (FAILED(hr)) return hr;
    hr = RunProxyStubRegistration(&PrxDllRegisterServer);
    if (FAILED(hr)) return hr;
    return RunProxyStubRegistration(&PrxDllUnregisterServer);
}

// "user" (in any case) as the command line registers for the current user only, for the rest of the process.
STDAPI DllInstall(BOOL install, LPCWSTR commandLine) {
    return _AtlModule.DllInstall(install, commandLine, &DllRegisterServer, &DllUnregisterServer);
}

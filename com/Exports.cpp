// The DLL's entry point and its five exports (Korvane.def.in names them).
//
// There is no merged proxy/stub behind these exports: the proxy/stub code widl generates does not build with
// MinGW, and none is needed, since IKorvane is a dual, oleautomation interface. Registering the type library
// writes its Interface key with the type-library marshaller as ProxyStubClsid32, and calls across apartments
// (the Global Interface Table's among them) are marshalled from the registered type information.
#include <windows.h>

#include "com/DovrinModule.h"

CDovrinModule _AtlModule;

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID reserved) {
    return _AtlModule.DllMain(reason, reserved);
}

STDAPI DllCanUnloadNow() { return _AtlModule.DllCanUnloadNow(); }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
    return _AtlModule.DllGetClassObject(clsid, iid, out);
}

STDAPI DllRegisterServer() { return _AtlModule.DllRegisterServer(); }

STDAPI DllUnregisterServer() { return _AtlModule.DllUnregisterServer(); }

// "user" (in any case) as the command line registers for the current user only, for the rest of the process.
STDAPI DllInstall(BOOL install, LPCWSTR commandLine) { return _AtlModule.DllInstall(install, commandLine); }

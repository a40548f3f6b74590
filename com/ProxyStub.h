// The merged proxy/stub of the library's dual interfaces (ProxyStub.c): the marshalling code widl generates
// from Korvane.idl and its class factory, whose CLSID is the IID of IKorvane. The DLL's exports consult these
// entry points first (Exports.cpp).
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

BOOL WINAPI PrxDllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
HRESULT WINAPI PrxDllGetClassObject(REFCLSID clsid, REFIID iid, void** out);
HRESULT WINAPI PrxDllCanUnloadNow(void);
HRESULT WINAPI PrxDllRegisterServer(void);
HRESULT WINAPI PrxDllUnregisterServer(void);

#ifdef __cplusplus
}
#endif

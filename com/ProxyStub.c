/* The merged proxy/stub: widl's interpreted proxy code for every interface Korvane.idl defines (Korvane_p.c)
   and its list of proxy files (dlldata.c), both generated at build time, with the entry points
   PrxDllMain, PrxDllGetClassObject, PrxDllCanUnloadNow, PrxDllRegisterServer and PrxDllUnregisterServer.

   The factory's CLSID is the IID of IKorvane of the build: widl would otherwise take the IID that sorts first
   among the interfaces. The defines must stand before rpcproxy.h is first included: without
   USE_STUBLESS_PROXY the interpreted proxies are not used and marshalling fails with E_NOINTERFACE, and
   PROXY_DELEGATION defines the release of the stubs that delegate IDispatch to the system. */
#define REGISTER_PROXY_DLL
#define USE_STUBLESS_PROXY
#define PROXY_DELEGATION
#define ENTRY_PREFIX Prx
/* The CLSID stays one initialiser on one line, and dlldata.c goes before the proxy code. */
/* clang-format off */
#ifdef KORVANE_64BIT
#define PROXY_CLSID_IS {0x8CAFD44F, 0x5BC4, 0x41D2, {0xB1, 0xBE, 0xEC, 0x31, 0xC3, 0xC3, 0x22, 0xB6}}
#else
#define PROXY_CLSID_IS {0x55AA3464, 0xBF8F, 0x49C8, {0x97, 0xC6, 0x89, 0xAB, 0xFE, 0x8B, 0x70, 0x83}}
#endif

#include <objbase.h>

/* The proxy code calls these; the platform's headers declare them for C++ only. */
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);

#include "dlldata.c"
#include "Korvane_p.c"
/* clang-format on */

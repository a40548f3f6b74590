#include "ServerFixture.h"

#include <cstdio>
#include <cstdlib>

#include "classlib/Owners.h"

namespace {

template <class Function>
Function Export(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

ServerDll& ServerDll::Get() {
    static ServerDll dll = [] {
        ServerDll loaded;
        const std::wstring path = ServerDll().Path();
        loaded.module = LoadLibraryW(path.c_str());
        if (loaded.module) {
            loaded.DllGetClassObject =
                Export<decltype(loaded.DllGetClassObject)>(loaded.module, "DllGetClassObject");
            loaded.DllCanUnloadNow =
                Export<decltype(loaded.DllCanUnloadNow)>(loaded.module, "DllCanUnloadNow");
        }
        return loaded;
    }();
    return dll;
}

std::wstring ServerDll::Path() const {
    const wchar_t* path = _wgetenv(L"KORVANE_DLL");
    return path ? path : L"";
}

void ServerTest::SetUp() {
    ASSERT_FALSE(dll().Path().empty()) << "KORVANE_DLL is not set: run the test through CTest";
    ASSERT_NE(dll().module, nullptr) << "cannot load the server DLL, error " << GetLastError();
    ASSERT_NE(dll().DllGetClassObject, nullptr);
    ASSERT_NE(dll().DllCanUnloadNow, nullptr);
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ASSERT_TRUE(SUCCEEDED(hr)) << HresultText(hr);
    comEntered_ = true;
}

void ServerTest::TearDown() {
    if (comEntered_) CoUninitialize();
}

HRESULT ServerTest::CreateObject(IUnknown* outer, REFIID iid, void** out) {
    CComPtr<IClassFactory> factory;
    KORVANE_RETURN_IF_FAILED(
        dll().DllGetClassObject(CLSID_Korvane, IID_IClassFactory, factory.ReceiveVoid()));
    return factory->CreateInstance(outer, iid, out);
}

std::string HresultText(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(hr));
    return text;
}

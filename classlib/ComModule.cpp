#include "classlib/ComModule.h"

#include <oleauto.h>

#include <cwchar>

#include "classlib/ComObject.h"
#include "classlib/ComResult.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

CAtlModule* g_module = nullptr;

// Registration runs under the system's default locale, whatever the calling thread had; put back on leaving.
class SystemThreadLocale {
public:
    SystemThreadLocale() : saved_(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~SystemThreadLocale() { SetThreadLocale(saved_); }
    SystemThreadLocale(const SystemThreadLocale&) = delete;
    SystemThreadLocale& operator=(const SystemThreadLocale&) = delete;

private:
    LCID saved_;
};

// The per-user forms are in OLEAUT32 but not in the headers; looked up when needed, as older systems lack
// them.
using RegisterTypeLibForUserFunction = HRESULT(WINAPI*)(ITypeLib*, OLECHAR*, OLECHAR*);
using UnRegisterTypeLibForUserFunction = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

template <class Function>
Function OleAutomationFunction(const char* name) {
    HMODULE oleaut = GetModuleHandleW(L"oleaut32.dll");
    FARPROC found = oleaut ? GetProcAddress(oleaut, name) : nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(found));
}

}  // namespace

CAtlModule::CAtlModule(CAtlObjMapEntry* objectMap) : objectMap_(objectMap) {
    g_module = this;
    if (FAILED(section_.Init())) {
        initFailed_ = true;
    } else {
        initialised_ = true;
    }
    for (CAtlObjMapEntry* entry = objectMap_; entry && entry->clsid; ++entry) {
        if (entry->objectMain) entry->objectMain(true);
    }
}

CAtlModule::~CAtlModule() {
    Term();
    if (g_module == this) g_module = nullptr;
}

CAtlModule* CAtlModule::Get() { return g_module; }

LONG CAtlModule::Lock() { return InterlockedIncrement(&lockCount_); }
LONG CAtlModule::Unlock() { return InterlockedDecrement(&lockCount_); }
LONG CAtlModule::GetLockCount() { return lockCount_; }

HRESULT CAtlModule::GetGITPtr(IGlobalInterfaceTable** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!git_) {
        CComPtr<IGlobalInterfaceTable> created;
        HRESULT hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IGlobalInterfaceTable, created.ReceiveVoid());
        if (FAILED(hr)) return hr;
        git_ = std::move(created);
    }
    return git_.CopyTo(out);
}

HRESULT CAtlModule::AddTermFunc(void (*function)(void* data), void* data) {
    if (!function) return E_INVALIDARG;
    return Guarded([&] { termFunctions_.emplace_back(function, data); });
}

HINSTANCE CAtlModule::GetModuleInstance() const { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

std::wstring CAtlModule::GetModulePath() const {
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        const DWORD length =
            GetModuleFileNameW(GetModuleInstance(), &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

HRESULT CAtlModule::UpdateRegistryFromResource(UINT id, bool registering,
                                               const RegistryReplacement* replacements) {
    return Guarded([&]() -> HRESULT {
        CRegistrar registrar;
        const std::wstring path = GetModulePath();
        if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
        KORVANE_RETURN_IF_FAILED(registrar.AddReplacement(L"Module", path.c_str()));
        KORVANE_RETURN_IF_FAILED(registrar.AddReplacement(L"Module_Raw", path.c_str()));
        KORVANE_RETURN_IF_FAILED(AddCommonRGSReplacements(registrar));
        for (const RegistryReplacement* r = replacements; r && r->name; ++r) {
            KORVANE_RETURN_IF_FAILED(registrar.AddReplacement(r->name, r->value));
        }
        if (perUser_) KORVANE_RETURN_IF_FAILED(registrar.UseClassesOfCurrentUser());
        return registering ? registrar.ResourceRegister(GetModuleInstance(), id, L"REGISTRY")
                           : registrar.ResourceUnregister(GetModuleInstance(), id, L"REGISTRY");
    });
}

HRESULT CAtlModule::GetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!initialised_) return E_UNEXPECTED;
    for (CAtlObjMapEntry* entry = objectMap_; entry && entry->clsid; ++entry) {
        if (!entry->createInstance || !InlineIsEqualGUID(*entry->clsid, clsid)) continue;
        if (!entry->classFactory) {
            ScopedLock hold(section_);
            if (!entry->classFactory) {
                IUnknown* factory = nullptr;
                KORVANE_RETURN_IF_FAILED(CComClassFactory::Create(entry->createInstance, IID_IUnknown,
                                                                  reinterpret_cast<void**>(&factory)));
                entry->classFactory = factory;
            }
        }
        return entry->classFactory->QueryInterface(iid, out);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CAtlModule::CanUnloadNow() { return GetLockCount() == 0 ? S_OK : S_FALSE; }

HRESULT CAtlModule::RegisterServer(bool registerTypeLibrary, HRESULT (*updateAppId)(bool registering)) {
    HRESULT hr;
    {
        SystemThreadLocale locale;
        hr = updateAppId(true);
        for (CAtlObjMapEntry* entry = objectMap_; SUCCEEDED(hr) && entry && entry->clsid; ++entry) {
            if (entry->updateRegistry) hr = entry->updateRegistry(true);
        }
        if (SUCCEEDED(hr) && registerTypeLibrary) hr = RegisterTypeLibrary();
    }
    return hr;
}

HRESULT CAtlModule::UnregisterServer(bool unregisterTypeLibrary, HRESULT (*updateAppId)(bool registering)) {
    HRESULT hr = S_OK;
    {
        SystemThreadLocale locale;
        for (CAtlObjMapEntry* entry = objectMap_; SUCCEEDED(hr) && entry && entry->clsid; ++entry) {
            if (entry->updateRegistry) hr = entry->updateRegistry(false);
        }
        if (SUCCEEDED(hr) && unregisterTypeLibrary) hr = UnregisterTypeLibrary();
        if (SUCCEEDED(hr)) hr = updateAppId(false);
    }
    return hr;
}

HRESULT CAtlModule::Install(BOOL install, const wchar_t* commandLine, HRESULT(__stdcall* registerServer)(),
                            HRESULT(__stdcall* unregisterServer)()) {
    // Exactly "user", in any case: the terminator takes part in the comparison.
    if (commandLine && _wcsnicmp(commandLine, L"user", 5) == 0) SetPerUserRegistration(true);
    if (!install) return unregisterServer();
    const HRESULT hr = registerServer();
    if (FAILED(hr)) unregisterServer();  // undo what was written; its own result does not matter
    return hr;
}

HRESULT CAtlModule::RegisterTypeLibrary() {
    return Guarded([&]() -> HRESULT {
        std::wstring path = GetModulePath();
        CComPtr<ITypeLib> library;
        KORVANE_RETURN_IF_FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library));
        if (perUser_) {
            auto forUser = OleAutomationFunction<RegisterTypeLibForUserFunction>("RegisterTypeLibForUser");
            if (forUser) return forUser(library, &path[0], nullptr);
        }
        return RegisterTypeLib(library, &path[0], nullptr);
    });
}

HRESULT CAtlModule::UnregisterTypeLibrary() {
    return Guarded([&]() -> HRESULT {
        const std::wstring path = GetModulePath();
        CComPtr<ITypeLib> library;
        KORVANE_RETURN_IF_FAILED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library));
        TLIBATTR* attributes = nullptr;
        KORVANE_RETURN_IF_FAILED(library->GetLibAttr(&attributes));
        const TLIBATTR copy = *attributes;
        library->ReleaseTLibAttr(attributes);
        if (perUser_) {
            auto forUser =
                OleAutomationFunction<UnRegisterTypeLibForUserFunction>("UnRegisterTypeLibForUser");
            if (forUser)
                return forUser(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum, copy.lcid, copy.syskind);
        }
        return UnRegisterTypeLib(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum, copy.lcid, copy.syskind);
    });
}

void CAtlModule::Term() {
    if (!initialised_) return;
    for (CAtlObjMapEntry* entry = objectMap_; entry && entry->clsid; ++entry) {
        if (entry->objectMain) entry->objectMain(false);
        ReleaseAndClear(entry->classFactory);
    }
    for (auto it = termFunctions_.rbegin(); it != termFunctions_.rend(); ++it) it->first(it->second);
    termFunctions_.clear();
    git_.Release();
    section_.Term();
    initialised_ = false;
}

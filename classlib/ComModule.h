// The module of an in-process COM server: its lock count, the classes it serves (the object map), the
// process's Global Interface Table, the registration of scripts and type library, and the logic behind the
// five exports. One module object per DLL, built by the static initialisers.
#pragma once

#include <windows.h>

#include <objidl.h>

#include <string>
#include <vector>

#include "classlib/Owners.h"
#include "classlib/Registrar.h"

// A replacement a registration run adds to the common ones: %name% becomes value.
struct RegistryReplacement {
    const wchar_t* name;
    const wchar_t* value;
};

// One class the module serves. The map is an array of these ending with an entry whose clsid is null;
// registration and unregistration walk it in array order. Build entries with ObjectMapEntryFor<T>()
// (classlib/ComObject.h).
struct CAtlObjMapEntry {
    const CLSID* clsid;
    // Applies the class's registration script, with its own replacements.
    HRESULT (*updateRegistry)(bool registering);
    // Builds the object, aggregated when outer is not null.
    HRESULT (*createInstance)(IUnknown* outer, REFIID iid, void** out);
    // The class's start and stop hook, called at load (true) and unload (false).
    void (*objectMain)(bool starting);
    // The class factory, created on first request and held until unload.
    IUnknown* classFactory;
};

class CAtlModule {
public:
    explicit CAtlModule(CAtlObjMapEntry* objectMap);
    virtual ~CAtlModule();
    CAtlModule(const CAtlModule&) = delete;
    CAtlModule& operator=(const CAtlModule&) = delete;

    // The lock count: live objects, class-factory locks and references held by clients to factories.
    virtual LONG Lock();
    virtual LONG Unlock();
    virtual LONG GetLockCount();
    // The process's Global Interface Table, created on first use and kept until unload; a new reference.
    virtual HRESULT GetGITPtr(IGlobalInterfaceTable** out);
    // Replacements every registration script of the module can use, besides Module and Module_Raw.
    virtual HRESULT AddCommonRGSReplacements(CRegistrar& registrar) = 0;

    // The module of this DLL (or test program); null before it is built and after it is gone.
    static CAtlModule* Get();

    // Applies REGISTRY resource id of the module with the common replacements and the run's own (an array
    // ending with a null name, or null).
    HRESULT UpdateRegistryFromResource(UINT id, bool registering,
                                       const RegistryReplacement* replacements = nullptr);
    // Runs at unload, last added first.
    HRESULT AddTermFunc(void (*function)(void* data), void* data);

    bool IsInitialised() const { return initialised_; }
    bool InitFailed() const { return initFailed_; }
    // Guards lazy creation of class factories and type information.
    CComCriticalSection& GetCriticalSection() { return section_; }
    HINSTANCE GetModuleInstance() const;
    std::wstring GetModulePath() const;

    // Per-user registration: scripts write under HKEY_CURRENT_USER\Software\Classes and the type library is
    // registered for the user. Once on, it stays on for the process.
    void SetPerUserRegistration(bool perUser) { perUser_ = perUser; }
    bool GetPerUserRegistration() const { return perUser_; }

    GUID libid_{};

protected:
    // What the exports do; CAtlDllModuleT passes the module's own AppID script run in.
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out);
    HRESULT CanUnloadNow();
    HRESULT RegisterServer(bool registerTypeLibrary, HRESULT (*updateAppId)(bool registering));
    HRESULT UnregisterServer(bool unregisterTypeLibrary, HRESULT (*updateAppId)(bool registering));
    // registerServer and unregisterServer are the whole DLL's (its exports), not the module's part alone.
    HRESULT Install(BOOL install, const wchar_t* commandLine, HRESULT(__stdcall* registerServer)(),
                    HRESULT(__stdcall* unregisterServer)());
    // Unload: the classes' stop hooks, the factories, the termination functions, the table, the section.
    void Term();

    CAtlObjMapEntry* objectMap_;

private:
    HRESULT RegisterTypeLibrary();
    HRESULT UnregisterTypeLibrary();

    volatile LONG lockCount_ = 0;
    CComPtr<IGlobalInterfaceTable> git_;
    CComCriticalSection section_;
    bool initialised_ = false;
    bool initFailed_ = false;
    bool perUser_ = false;
    std::vector<std::pair<void (*)(void*), void*>> termFunctions_;
};

// Adds what needs the derived module's type: its AppID script (T::GetAppIdResourceId, T::GetAppId).
template <class T>
class CAtlModuleT : public CAtlModule {
public:
    explicit CAtlModuleT(CAtlObjMapEntry* objectMap) : CAtlModule(objectMap) {}

    static HRESULT UpdateRegistryAppId(bool registering) {
        const RegistryReplacement replacements[] = {{L"APPID", T::GetAppId()}, {nullptr, nullptr}};
        return Get()->UpdateRegistryFromResource(T::GetAppIdResourceId(), registering, replacements);
    }
};

// The module of a DLL server: the five exports forward to these (after the DLL's merged proxy/stub, if any).
template <class T>
class CAtlDllModuleT : public CAtlModuleT<T> {
public:
    explicit CAtlDllModuleT(CAtlObjMapEntry* objectMap) : CAtlModuleT<T>(objectMap) {}
    ~CAtlDllModuleT() override { this->Term(); }

    BOOL DllMain(DWORD reason, LPVOID /*reserved*/) {
        if (reason == DLL_PROCESS_ATTACH && this->InitFailed()) return FALSE;
        return TRUE;
    }
    HRESULT DllCanUnloadNow() { return this->CanUnloadNow(); }
    HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
        return this->GetClassObject(clsid, iid, out);
    }
    HRESULT DllRegisterServer(bool registerTypeLibrary = true) {
        return this->RegisterServer(registerTypeLibrary, &CAtlModuleT<T>::UpdateRegistryAppId);
    }
    HRESULT DllUnregisterServer(bool unregisterTypeLibrary = true) {
        return this->UnregisterServer(unregisterTypeLibrary, &CAtlModuleT<T>::UpdateRegistryAppId);
    }
    // Registers or unregisters through the DLL's own DllRegisterServer and DllUnregisterServer.
    HRESULT DllInstall(BOOL install, const wchar_t* commandLine, HRESULT(__stdcall* registerServer)(),
                       HRESULT(__stdcall* unregisterServer)()) {
        return this->Install(install, commandLine, registerServer, unregisterServer);
    }
};

// The registrar: reads a registration script and writes (or removes) the registry keys it names.
//
// Script grammar, as the server's REGISTRY resources use it:
//   script  := root*
//   root    := ("HKCR" | "HKEY_CLASSES_ROOT") "{" item* "}"
//   item    := key | value
//   key     := mark* name ["=" "s" text] ["{" item* "}"]
//   value   := "val" name "=" "s" text
//   mark    := "NoRemove" | "ForceRemove"
// Tokens are separated by white space; a name is a bare word or a text in single quotes ('' stands for
// one quote); text is always quoted. Inside names and texts %NAME% is replaced by the value added for NAME
// (names match without regard to case) and %% stands for one percent sign.
//
// Registration creates every key and writes its values; a ForceRemove key is first deleted with all its
// subkeys. Unregistration deletes every key the script names, children first, except NoRemove keys; a key
// that still holds subkeys the script does not name stays (only the named values are taken out of it), and
// a ForceRemove key goes with everything below it.
#pragma once

#include <windows.h>

#include "classlib/Owners.h"

#include <string>
#include <utility>
#include <vector>

// A script the registrar cannot read: bad syntax, a root other than the classes root, an unknown
// replacement. Nothing is written for such a script.
constexpr HRESULT REGISTRAR_E_BADSCRIPT = static_cast<HRESULT>(0x80070000 | ERROR_BAD_FORMAT);

class CRegistrar {
public:
    CRegistrar();
    ~CRegistrar();
    CRegistrar(const CRegistrar&) = delete;
    CRegistrar& operator=(const CRegistrar&) = delete;

    HRESULT AddReplacement(const wchar_t* name, const wchar_t* value);
    void ClearReplacements();

    // The key that stands for HKEY_CLASSES_ROOT in scripts (the registrar opens its own handle to it).
    HRESULT SetClassesRoot(HKEY root);
    // Per-user registration: HKEY_CLASSES_ROOT in scripts means HKEY_CURRENT_USER\Software\Classes.
    HRESULT UseClassesOfCurrentUser();

    HRESULT StringRegister(const wchar_t* script);
    HRESULT StringUnregister(const wchar_t* script);
    // A script held as a resource of the module (UTF-8, or UTF-16 with its byte-order mark).
    HRESULT ResourceRegister(HMODULE module, UINT id, const wchar_t* type);
    HRESULT ResourceUnregister(HMODULE module, UINT id, const wchar_t* type);

private:
    HRESULT Run(const wchar_t* script, bool registering);
    HRESULT RunResource(HMODULE module, UINT id, const wchar_t* type, bool registering);

    std::vector<std::pair<std::wstring, std::wstring>> replacements_;
    UniqueRegistryKey classesRoot_;  // empty: HKEY_CLASSES_ROOT itself
};

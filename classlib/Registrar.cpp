#include "classlib/Registrar.h"

#include <cwchar>
#include <cwctype>
#include <memory>

namespace {

bool EqualsNoCase(const std::wstring& a, const wchar_t* b) { return _wcsicmp(a.c_str(), b) == 0; }

struct Token {
    std::wstring text;
    bool quoted = false;
    bool Is(const wchar_t* word) const { return !quoted && EqualsNoCase(text, word); }
};

// One key or one named value of a script, replacements already made.
struct Item {
    bool isValue = false;
    std::wstring name;
    bool noRemove = false;
    bool forceRemove = false;
    bool hasDefault = false;
    std::wstring text;  // the default value of a key, or the value's text
    std::vector<Item> children;
};

// Inside ScriptReader: the next token must be the given bare word.
#define KORVANE_EXPECT(word)                                                              \
    do {                                                                                  \
        Token expected_;                                                                  \
        if (Next(expected_) != S_OK || !expected_.Is(word)) return REGISTRAR_E_BADSCRIPT; \
    } while (0)

class ScriptReader {
public:
    ScriptReader(const wchar_t* script,
                 const std::vector<std::pair<std::wstring, std::wstring>>& replacements)
        : at_(script), replacements_(replacements) {}

    HRESULT Read(std::vector<Item>& roots) {
        Token token;
        while (true) {
            HRESULT hr = Next(token);
            if (hr == S_FALSE) return S_OK;
            if (FAILED(hr)) return hr;
            if (!token.Is(L"HKCR") && !token.Is(L"HKEY_CLASSES_ROOT")) return REGISTRAR_E_BADSCRIPT;
            KORVANE_EXPECT(L"{");
            Item root;
            hr = ReadItems(root.children);
            if (FAILED(hr)) return hr;
            roots.push_back(std::move(root));
        }
    }

private:
    // Items up to and including the closing brace.
    HRESULT ReadItems(std::vector<Item>& items) {
        Token token;
        while (true) {
            if (Next(token) != S_OK) return REGISTRAR_E_BADSCRIPT;
            if (token.Is(L"}")) return S_OK;
            Item item;
            if (token.Is(L"val")) {
                item.isValue = true;
                if (Next(token) != S_OK || IsPunctuation(token)) return REGISTRAR_E_BADSCRIPT;
                HRESULT hr = Expand(token.text, item.name);
                if (FAILED(hr)) return hr;
                KORVANE_EXPECT(L"=");
                hr = ReadText(item.text);
                if (FAILED(hr)) return hr;
                items.push_back(std::move(item));
                continue;
            }
            while (true) {
                if (token.Is(L"NoRemove")) {
                    item.noRemove = true;
                } else if (token.Is(L"ForceRemove")) {
                    item.forceRemove = true;
                } else {
                    break;
                }
                if (Next(token) != S_OK) return REGISTRAR_E_BADSCRIPT;
            }
            if (IsPunctuation(token)) return REGISTRAR_E_BADSCRIPT;
            HRESULT hr = Expand(token.text, item.name);
            if (FAILED(hr)) return hr;
            if (item.name.empty() || item.name.find(L'\\') != std::wstring::npos)
                return REGISTRAR_E_BADSCRIPT;
            if (Peek(L"=")) {
                item.hasDefault = true;
                hr = ReadText(item.text);
                if (FAILED(hr)) return hr;
            }
            if (Peek(L"{")) {
                hr = ReadItems(item.children);
                if (FAILED(hr)) return hr;
            }
            items.push_back(std::move(item));
        }
    }
#undef KORVANE_EXPECT

    // "s 'text'" after an equals sign.
    HRESULT ReadText(std::wstring& text) {
        Token token;
        if (Next(token) != S_OK || !token.Is(L"s")) return REGISTRAR_E_BADSCRIPT;
        if (Next(token) != S_OK || !token.quoted) return REGISTRAR_E_BADSCRIPT;
        return Expand(token.text, text);
    }

    static bool IsPunctuation(const Token& token) {
        return token.Is(L"{") || token.Is(L"}") || token.Is(L"=");
    }

    // Consumes the next token when it is the given bare word.
    bool Peek(const wchar_t* word) {
        const wchar_t* saved = at_;
        Token token;
        if (Next(token) == S_OK && token.Is(word)) return true;
        at_ = saved;
        return false;
    }

    // S_FALSE at the end of the script.
    HRESULT Next(Token& token) {
        while (*at_ && iswspace(*at_)) ++at_;
        if (!*at_) return S_FALSE;
        token.text.clear();
        token.quoted = *at_ == L'\'';
        if (token.quoted) {
            ++at_;
            while (true) {
                if (!*at_) return REGISTRAR_E_BADSCRIPT;
                if (*at_ == L'\'') {
                    if (at_[1] != L'\'') break;
                    ++at_;
                }
                token.text += *at_++;
            }
            ++at_;
            return S_OK;
        }
        while (*at_ && !iswspace(*at_)) token.text += *at_++;
        return S_OK;
    }

    HRESULT Expand(const std::wstring& in, std::wstring& out) const {
        out.clear();
        for (size_t i = 0; i < in.size(); ++i) {
            if (in[i] != L'%') {
                out += in[i];
                continue;
            }
            const size_t end = in.find(L'%', i + 1);
            if (end == std::wstring::npos) return REGISTRAR_E_BADSCRIPT;
            const std::wstring name = in.substr(i + 1, end - i - 1);
            i = end;
            if (name.empty()) {
                out += L'%';
                continue;
            }
            bool found = false;
            for (const auto& replacement : replacements_) {
                if (EqualsNoCase(replacement.first, name.c_str())) {
                    out += replacement.second;
                    found = true;
                    break;
                }
            }
            if (!found) return REGISTRAR_E_BADSCRIPT;
        }
        return S_OK;
    }

    const wchar_t* at_;
    const std::vector<std::pair<std::wstring, std::wstring>>& replacements_;
};

HRESULT FromWin32(LONG result) { return result == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(result); }

HRESULT SetText(HKEY key, const wchar_t* name, const std::wstring& text) {
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    return FromWin32(
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes));
}

HRESULT DeleteTree(HKEY parent, const std::wstring& name) {
    const LONG result = RegDeleteTreeW(parent, name.c_str());
    return result == ERROR_FILE_NOT_FOUND ? S_OK : FromWin32(result);
}

HRESULT RegisterItems(HKEY parent, const std::vector<Item>& items) {
    for (const Item& item : items) {
        if (item.isValue) {
            KORVANE_RETURN_IF_FAILED(SetText(parent, item.name.c_str(), item.text));
            continue;
        }
        if (item.forceRemove) KORVANE_RETURN_IF_FAILED(DeleteTree(parent, item.name));
        UniqueRegistryKey key;
        KORVANE_RETURN_IF_FAILED(
            FromWin32(RegCreateKeyExW(parent, item.name.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                                      key.Receive(), nullptr)));
        if (item.hasDefault) KORVANE_RETURN_IF_FAILED(SetText(key.Get(), nullptr, item.text));
        KORVANE_RETURN_IF_FAILED(RegisterItems(key.Get(), item.children));
    }
    return S_OK;
}

bool HasSubkeys(HKEY key) {
    DWORD subkeys = 0;
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
           subkeys > 0;
}

HRESULT UnregisterItems(HKEY parent, const std::vector<Item>& items);

HRESULT UnregisterKey(HKEY parent, const Item& item) {
    if (item.forceRemove && !item.noRemove) return DeleteTree(parent, item.name);
    UniqueRegistryKey key;
    const LONG opened = RegOpenKeyExW(parent, item.name.c_str(), 0, KEY_READ | KEY_WRITE, key.Receive());
    if (opened == ERROR_FILE_NOT_FOUND) return S_OK;  // nothing of it to remove
    KORVANE_RETURN_IF_FAILED(FromWin32(opened));
    KORVANE_RETURN_IF_FAILED(UnregisterItems(key.Get(), item.children));
    // A subkey the script does not name keeps the key: another component may own it.
    if (item.noRemove || HasSubkeys(key.Get())) return S_OK;
    key.Reset();
    const LONG deleted = RegDeleteKeyW(parent, item.name.c_str());
    return deleted == ERROR_FILE_NOT_FOUND ? S_OK : FromWin32(deleted);
}

// Children first, in reverse order of the script; the named values go too, for keys that stay.
HRESULT UnregisterItems(HKEY parent, const std::vector<Item>& items) {
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
        if (it->isValue) {
            const LONG result = RegDeleteValueW(parent, it->name.c_str());
            if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) return FromWin32(result);
            continue;
        }
        KORVANE_RETURN_IF_FAILED(UnregisterKey(parent, *it));
    }
    return S_OK;
}

}  // namespace

CRegistrar::CRegistrar() = default;

CRegistrar::~CRegistrar() = default;

HRESULT CRegistrar::AddReplacement(const wchar_t* name, const wchar_t* value) {
    if (!name || !value) return E_INVALIDARG;
    return Guarded([&] { replacements_.emplace_back(name, value); });
}

void CRegistrar::ClearReplacements() { replacements_.clear(); }

HRESULT CRegistrar::SetClassesRoot(HKEY root) {
    UniqueRegistryKey copy;
    KORVANE_RETURN_IF_FAILED(
        FromWin32(RegOpenKeyExW(root, nullptr, 0, KEY_READ | KEY_WRITE, copy.Receive())));
    classesRoot_ = std::move(copy);
    return S_OK;
}

HRESULT CRegistrar::UseClassesOfCurrentUser() {
    UniqueRegistryKey classes;
    KORVANE_RETURN_IF_FAILED(
        FromWin32(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0,
                                  KEY_READ | KEY_WRITE, nullptr, classes.Receive(), nullptr)));
    return SetClassesRoot(classes.Get());
}

HRESULT CRegistrar::StringRegister(const wchar_t* script) {
    return Guarded([&] { return Run(script, true); });
}
HRESULT CRegistrar::StringUnregister(const wchar_t* script) {
    return Guarded([&] { return Run(script, false); });
}

HRESULT CRegistrar::ResourceRegister(HMODULE module, UINT id, const wchar_t* type) {
    return Guarded([&] { return RunResource(module, id, type, true); });
}

HRESULT CRegistrar::ResourceUnregister(HMODULE module, UINT id, const wchar_t* type) {
    return Guarded([&] { return RunResource(module, id, type, false); });
}

HRESULT CRegistrar::Run(const wchar_t* script, bool registering) {
    if (!script) return E_INVALIDARG;
    // The whole script is read before any key is touched, so a bad script writes nothing.
    std::vector<Item> roots;
    KORVANE_RETURN_IF_FAILED(ScriptReader(script, replacements_).Read(roots));
    HKEY root = classesRoot_ ? classesRoot_.Get() : HKEY_CLASSES_ROOT;
    for (const Item& item : roots) {
        KORVANE_RETURN_IF_FAILED(registering ? RegisterItems(root, item.children)
                                             : UnregisterItems(root, item.children));
    }
    return S_OK;
}

HRESULT CRegistrar::RunResource(HMODULE module, UINT id, const wchar_t* type, bool registering) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (!found) return HRESULT_FROM_WIN32(GetLastError());
    HGLOBAL loaded = LoadResource(module, found);
    const DWORD size = SizeofResource(module, found);
    const auto* bytes = static_cast<const unsigned char*>(loaded ? LockResource(loaded) : nullptr);
    if (!bytes) return HRESULT_FROM_WIN32(GetLastError());

    std::wstring script;
    if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        script.assign(reinterpret_cast<const wchar_t*>(bytes + 2), (size - 2) / sizeof(wchar_t));
    } else {
        DWORD skip = (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) ? 3 : 0;
        const char* text = reinterpret_cast<const char*>(bytes + skip);
        const int length = static_cast<int>(size - skip);
        const int wide = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, length, nullptr, 0);
        if (length > 0 && wide <= 0) return REGISTRAR_E_BADSCRIPT;
        script.resize(wide);
        if (wide > 0) MultiByteToWideChar(CP_UTF8, 0, text, length, &script[0], wide);
    }
    // A resource may carry a terminating NUL; the script ends there.
    script.resize(wcsnlen(script.c_str(), script.size()));
    return Run(script.c_str(), registering);
}

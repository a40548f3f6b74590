// The registrar against a scratch key that stands for HKEY_CLASSES_ROOT: scripts in, registry contents out.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "classlib/Registrar.h"

namespace {

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

// Every key below root as "path", every value as "path|name=text" ("@" for the default value), sorted.
void Dump(HKEY key, const std::wstring& path, std::vector<std::wstring>& lines) {
    if (!path.empty()) lines.push_back(path);
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256, type = 0;
        BYTE data[1024];
        DWORD dataLength = sizeof data;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &dataLength) != ERROR_SUCCESS)
            break;
        std::wstring text = type == REG_SZ ? std::wstring(reinterpret_cast<wchar_t*>(data)) : L"<not text>";
        lines.push_back(path + L"|" + (nameLength ? std::wstring(name) : L"@") + L"=" + text);
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS) continue;
        Dump(child, path.empty() ? name : path + L"\\" + name, lines);
        RegCloseKey(child);
    }
}

class RegistrarTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = L"Software\\KorvaneRegistrarTest\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(GetTickCount());
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &scratch_, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(registrar_.SetClassesRoot(scratch_), S_OK);
    }
    void TearDown() override {
        if (scratch_) RegCloseKey(scratch_);
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\KorvaneRegistrarTest");
    }

    // The scratch contents, one line per key or value, sorted and joined by newlines.
    std::string Contents() {
        std::vector<std::wstring> lines;
        Dump(scratch_, L"", lines);
        std::sort(lines.begin(), lines.end());
        std::string joined;
        for (const std::wstring& line : lines) joined += Narrow(line) + "\n";
        return joined;
    }

    // "Key\\Sub" makes a key, "Key|name=text" a value ("@" the default one).
    void Prepare(const std::vector<std::wstring>& entries) {
        for (const std::wstring& entry : entries) {
            const size_t bar = entry.find(L'|');
            HKEY key = nullptr;
            ASSERT_EQ(RegCreateKeyExW(scratch_, entry.substr(0, bar).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                      nullptr, &key, nullptr),
                      ERROR_SUCCESS);
            if (bar != std::wstring::npos) {
                const size_t equals = entry.find(L'=', bar);
                std::wstring name = entry.substr(bar + 1, equals - bar - 1);
                std::wstring text = entry.substr(equals + 1);
                RegSetValueExW(key, name == L"@" ? nullptr : name.c_str(), 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(text.c_str()),
                               static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
            }
            RegCloseKey(key);
        }
    }

    std::wstring path_;
    HKEY scratch_ = nullptr;
    CRegistrar registrar_;
};

struct ScriptCase {
    const char* what;
    std::vector<std::wstring> before;  // what the registry holds before registration
    const wchar_t* script;
    const char* registered;    // the scratch contents after registration
    const char* unregistered;  // and after unregistration
};

const ScriptCase kScripts[] = {
    {"nested keys with default and named values",
     {},
     L"HKCR\n{\n\tA = s 'x'\n\t{\n\t\tB = s 'y'\n\t\t{\n\t\t\tval V = s 'z'\n\t\t}\n\t}\n}\n",
     "A\nA\\B\nA\\B|@=y\nA\\B|V=z\nA|@=x\n",
     ""},
    {"a NoRemove key stays, what the script put in it goes",
     {},
     L"HKCR { NoRemove Root { Child = s 'c' val V = s 'v' } }",
     "Root\nRoot\\Child\nRoot\\Child|@=c\nRoot|V=v\n",
     "Root\n"},
    {"NoRemove keeps what others put in the key",
     {L"Root\\Theirs", L"Root|Their=t"},
     L"HKCR { NoRemove Root { Mine } }",
     "Root\nRoot\\Mine\nRoot\\Theirs\nRoot|Their=t\n",
     "Root\nRoot\\Theirs\nRoot|Their=t\n"},
    {"ForceRemove clears the key before writing it",
     {L"Old\\Stale", L"Old|x=1"},
     L"HKCR { ForceRemove Old = s 'new' { Fresh } }",
     "Old\nOld\\Fresh\nOld|@=new\n",
     ""},
    {"ForceRemove takes everything below it on unregistration",
     {},
     L"HKCR { ForceRemove F { Mine } }",
     "F\nF\\Mine\n",
     ""},
    {"a plain key keeps existing content and stays while another's subkey is in it",
     {L"Keep\\Stale"},
     L"HKCR { Keep = s 'k' { Mine val V = s 'v' } }",
     "Keep\nKeep\\Mine\nKeep\\Stale\nKeep|@=k\nKeep|V=v\n",
     "Keep\nKeep\\Stale\nKeep|@=k\n"},
    {"registering over an earlier registration changes the values",
     {L"A|@=old", L"A|V=old"},
     L"HKCR { A = s 'new' { val V = s 'new' } }",
     "A\nA|@=new\nA|V=new\n",
     ""},
    {"replacements in names and texts, any case, %% for a percent sign",
     {},
     L"HKCR { '%APPID%' = s '%Module%' { val Path = s '100%% %MODULE%' } %appid%.DLL }",
     "{AB}\n{AB}.DLL\n{AB}|@=C:\\x\\Korvane.dll\n{AB}|Path=100% C:\\x\\Korvane.dll\n",
     ""},
    {"quoted names with blanks and doubled quotes",
     {},
     L"HKCR { 'Two Words' = s 'it''s' { '{GUID}' } }",
     "Two Words\nTwo Words\\{GUID}\nTwo Words|@=it's\n",
     ""},
    {"the long root name, several roots, keywords in any case",
     {},
     L"HKEY_CLASSES_ROOT { noremove X { FORCEREMOVE Y } } hkcr { Z = S 'z' }",
     "X\nX\\Y\nZ\nZ|@=z\n",
     "X\n"},
    {"a key written as {GUID} is a name, not a brace",
     {},
     L"HKCR { NoRemove CLSID { ForceRemove {9FAC4084-9757-4201-95A7-8C8E5541EF11} = s 'K' { Programmable } } "
     L"}",
     "CLSID\nCLSID\\{9FAC4084-9757-4201-95A7-8C8E5541EF11}\nCLSID\\{9FAC4084-9757-4201-95A7-8C8E5541EF11}"
     "\\Programmable\n"
     "CLSID\\{9FAC4084-9757-4201-95A7-8C8E5541EF11}|@=K\n",
     "CLSID\n"},
    {"an empty script", {}, L"  \r\n", "", ""},
};

TEST_F(RegistrarTest, ScriptsRegisterAndUnregister) {
    for (const ScriptCase& c : kScripts) {
        SCOPED_TRACE(c.what);
        RegDeleteTreeW(scratch_, nullptr);
        Prepare(c.before);
        registrar_.ClearReplacements();
        registrar_.AddReplacement(L"Module", L"C:\\x\\Korvane.dll");
        registrar_.AddReplacement(L"APPID", L"{AB}");
        ASSERT_EQ(registrar_.StringRegister(c.script), S_OK);
        EXPECT_EQ(Contents(), c.registered);
        ASSERT_EQ(registrar_.StringUnregister(c.script), S_OK);
        EXPECT_EQ(Contents(), c.unregistered);
        EXPECT_EQ(registrar_.StringUnregister(c.script), S_OK) << "unregistering what is not there succeeds";
    }
}

TEST_F(RegistrarTest, BadScriptsWriteNothing) {
    struct Bad {
        const char* what;
        const wchar_t* script;
    };
    const Bad cases[] = {
        {"another root", L"HKLM { A }"},
        {"no root", L"A = s 'x'"},
        {"a missing closing brace", L"HKCR { A { B }"},
        {"an unterminated text", L"HKCR { A = s 'x }"},
        {"a type other than s", L"HKCR { A = d '1' }"},
        {"an unquoted text", L"HKCR { A = s x }"},
        {"an equals sign without a value", L"HKCR { A = }"},
        {"a value without its equals sign", L"HKCR { A { val V s 'x' } }"},
        {"a value without a name", L"HKCR { A { val = s 'x' } }"},
        {"an unknown replacement", L"HKCR { A = s '%NOPE%' }"},
        {"an unclosed replacement", L"HKCR { A = s '50%' }"},
        {"a backslash in a name", L"HKCR { 'A\\B' }"},
        {"a good root before a bad one", L"HKCR { Good = s 'g' } HKCR { Bad = s }"},
        {"a mark without a key", L"HKCR { NoRemove }"},
    };
    registrar_.AddReplacement(L"Module", L"C:\\x.dll");
    for (const Bad& c : cases) {
        EXPECT_EQ(registrar_.StringRegister(c.script), REGISTRAR_E_BADSCRIPT) << c.what;
        EXPECT_EQ(Contents(), "") << c.what << ": the script is read whole before anything is written";
        EXPECT_EQ(registrar_.StringUnregister(c.script), REGISTRAR_E_BADSCRIPT) << c.what;
    }
    EXPECT_EQ(registrar_.StringRegister(nullptr), E_INVALIDARG);
}

TEST_F(RegistrarTest, PerUserRegistrationWritesUnderTheUsersClasses) {
    const std::wstring name = L"KorvaneRegistrarTest-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring script = L"HKCR { '" + name + L"' = s 'per user' }";
    CRegistrar perUser;
    ASSERT_EQ(perUser.UseClassesOfCurrentUser(), S_OK);
    ASSERT_EQ(perUser.StringRegister(script.c_str()), S_OK);

    const std::wstring userKey = L"Software\\Classes\\" + name;
    wchar_t text[64] = {};
    DWORD size = sizeof text;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, userKey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, text, &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, L"per user");
    HKEY machine = nullptr;
    EXPECT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"Software\\Classes\\" + name).c_str(), 0, KEY_READ, &machine),
        ERROR_FILE_NOT_FOUND)
        << "nothing is written for the machine";

    ASSERT_EQ(perUser.StringUnregister(script.c_str()), S_OK);
    HKEY gone = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, userKey.c_str(), 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
}

}  // namespace

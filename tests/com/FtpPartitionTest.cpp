// The picker through its vtable, with both dialogs replaced by fakes: the DLL's imports of GetOpenFileNameW,
// SHBrowseForFolderW and SHGetPathFromIDListW are patched from here, so a test decides what the user chose
// and sees what the object asked the dialog for. The folder scans run on real trees made by each test. The
// real file-open dialog is driven in scripts/picker_dialogs.js.
#include <windows.h>

#include <commdlg.h>
#include <objbase.h>
#include <objsafe.h>
#include <ocidl.h>
#include <olectl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "classlib/Owners.h"
#include "com/Korvane_i.h"
#include "common/AggregationChecks.h"
#include "common/ImportPatch.h"
#include "common/ObjectSafetyChecks.h"

namespace {

std::string Utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(size, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size, nullptr,
                            nullptr);
    return out;
}

// The first paths of a list, for failure messages.
std::string Printable(const std::vector<std::wstring>& texts) {
    std::string out = std::to_string(texts.size()) + " paths: ";
    for (size_t i = 0; i < texts.size() && i < 12; ++i) out += "[" + Utf8(texts[i]) + "] ";
    return out;
}

HMODULE ServerModule() { return GetModuleHandleW(KORVANE_TEST_DLL_NAME); }

// A pointer value no call may leave in an out-parameter it was meant to clear.
void* Garbage() { return reinterpret_cast<void*>(static_cast<uintptr_t>(0xDEADBEEF)); }

// ---- the file-open dialog's fake: the test's function answers in place of the dialog.

std::function<BOOL(OPENFILENAMEW*)> g_fileDialog;

BOOL WINAPI FakeGetOpenFileNameW(OPENFILENAMEW* dialog) {
    return g_fileDialog ? g_fileDialog(dialog) : FALSE;
}

// ---- the folder browser's fake: it returns an item (or none) and the path that item stands for.

struct FolderChoice {
    bool chosen = true;
    bool hasPath = true;
    std::wstring path;
    // What the object asked for.
    int calls = 0;
    bool ownerNull = false, rootNull = false, displayNameZeroed = false, noCallback = false;
    std::wstring title;
    UINT flags = 0;
};
FolderChoice* g_folder = nullptr;

PIDLIST_ABSOLUTE WINAPI FakeSHBrowseForFolderW(BROWSEINFOW* browse) {
    FolderChoice& f = *g_folder;
    ++f.calls;
    f.ownerNull = browse->hwndOwner == nullptr;
    f.rootNull = browse->pidlRoot == nullptr;
    f.displayNameZeroed = browse->pszDisplayName && browse->pszDisplayName[0] == L'\0';
    f.noCallback = browse->lpfn == nullptr && browse->lParam == 0;
    f.title = browse->lpszTitle ? browse->lpszTitle : L"<null>";
    f.flags = browse->ulFlags;
    if (!f.chosen) return nullptr;
    // An empty item list, as the shell allocates it: the object frees it with ILFree.
    auto* item = static_cast<ITEMIDLIST*>(CoTaskMemAlloc(sizeof(USHORT)));
    item->mkid.cb = 0;
    return item;
}

BOOL WINAPI FakeSHGetPathFromIDListW(PCIDLIST_ABSOLUTE, wchar_t* path) {
    if (!g_folder->hasPath) return FALSE;
    lstrcpynW(path, g_folder->path.c_str(), MAX_PATH);
    return TRUE;
}

// ---- the folder scan's search: entries named here come back as reparse points with that tag, the way a
// cloud client's placeholders, links and mount points show (Wine makes none of them but symbolic links).

std::map<std::wstring, DWORD> g_reparseTags;

void TagEntry(WIN32_FIND_DATAW* entry) {
    const auto tag = g_reparseTags.find(entry->cFileName);
    if (tag == g_reparseTags.end()) return;
    entry->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    entry->dwReserved0 = tag->second;
}

HANDLE WINAPI TaggingFindFirstFileW(const wchar_t* pattern, WIN32_FIND_DATAW* entry) {
    const HANDLE find = FindFirstFileW(pattern, entry);
    if (find != INVALID_HANDLE_VALUE) TagEntry(entry);
    return find;
}

BOOL WINAPI TaggingFindNextFileW(HANDLE find, WIN32_FIND_DATAW* entry) {
    const BOOL found = FindNextFileW(find, entry);
    if (found) TagEntry(entry);
    return found;
}

// ---- running out of memory: the DLL's BSTR allocations fail from a chosen one on.

int g_allocationsLeft = -1;  // negative: no limit

BSTR WINAPI LimitedSysAllocStringLen(const OLECHAR* text, UINT length) {
    if (g_allocationsLeft == 0) return nullptr;
    if (g_allocationsLeft > 0) --g_allocationsLeft;
    return SysAllocStringLen(text, length);
}

SAFEARRAY* WINAPI FailingSafeArrayCreateVector(VARTYPE, LONG, ULONG) { return nullptr; }

// Counts what is done to it: an out-VARIANT that holds it must not be cleared by the callee.
class ReleaseCounter : public IUnknown {
public:
    int releases = 0;
    STDMETHOD(QueryInterface)(REFIID, void** out) override {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return 2; }
    STDMETHOD_(ULONG, Release)() override {
        ++releases;
        return 1;
    }
};

// What the object asked the file-open dialog for.
struct DialogRequest {
    DWORD flags = 0;
    std::vector<std::wstring> filter;  // the filter list's texts, up to its empty one
    std::wstring initialDir = L"<null>";
    bool nameBufferZeroed = false;
    DWORD nameBufferLength = 0;
    bool plain = false;  // owner, instance, title, custom filter, file title, extension, hook: none
    DWORD filterIndex = 0;
    DWORD structSize = 0;
};

DialogRequest Request(const OPENFILENAMEW* d) {
    DialogRequest r;
    r.flags = d->Flags;
    for (const wchar_t* text = d->lpstrFilter; text && *text; text += wcslen(text) + 1)
        r.filter.push_back(text);
    if (d->lpstrInitialDir) r.initialDir = d->lpstrInitialDir;
    r.nameBufferLength = d->nMaxFile;
    r.nameBufferZeroed =
        std::all_of(d->lpstrFile, d->lpstrFile + d->nMaxFile, [](wchar_t c) { return c == 0; });
    r.plain = !d->hwndOwner && !d->hInstance && !d->lpstrTitle && !d->lpstrCustomFilter &&
              !d->lpstrFileTitle && !d->lpstrDefExt && !d->lpfnHook && !d->lpTemplateName;
    r.filterIndex = d->nFilterIndex;
    r.structSize = d->lStructSize;
    return r;
}

class PickerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        picker = Create();
        ASSERT_TRUE(picker);
        ASSERT_NE(ServerModule(), nullptr);
    }
    void TearDown() override {
        g_fileDialog = nullptr;
        g_folder = nullptr;
        g_allocationsLeft = -1;
        g_reparseTags.clear();
        picker.Release();
        RemoveTree();
        CoUninitialize();
    }

    static CComPtr<IFtpPartition> Create() {
        CComPtr<IFtpPartition> created;
        EXPECT_EQ(CoCreateInstance(CLSID_FtpPartition, nullptr, CLSCTX_INPROC_SERVER, IID_IFtpPartition,
                                   created.ReceiveVoid()),
                  S_OK);
        return created;
    }

    // The chosen files as GetSelectedFiles hands them out; the test fails on any other shape.
    static std::vector<std::wstring> Files(IFtpPartition* object, bool* empty = nullptr) {
        CComVariant list;
        EXPECT_EQ(object->GetSelectedFiles(&list), S_OK);
        std::vector<std::wstring> paths;
        if (empty) *empty = list.vt == VT_EMPTY;
        if (list.vt == VT_EMPTY) return paths;
        EXPECT_EQ(list.vt, VT_ARRAY | VT_VARIANT);
        if (list.vt != (VT_ARRAY | VT_VARIANT)) return paths;
        EXPECT_EQ(SafeArrayGetDim(list.parray), 1u);
        LONG lower = -1, upper = -1;
        SafeArrayGetLBound(list.parray, 1, &lower);
        SafeArrayGetUBound(list.parray, 1, &upper);
        EXPECT_EQ(lower, 0);
        CComSafeArrayData<VARIANT> elements(list.parray);
        for (LONG i = 0; i <= upper - lower; ++i) {
            const VARIANT& element = elements.Get()[i];
            EXPECT_EQ(element.vt, VT_BSTR) << i;
            if (element.vt == VT_BSTR) paths.emplace_back(element.bstrVal, SysStringLen(element.bstrVal));
        }
        return paths;
    }

    // A folder of this test's own under Z:\tmp, with what MakeTree puts in it.
    std::wstring Root() {
        if (root_.empty()) {
            wchar_t name[96];
            swprintf(name, 96, L"Z:\\tmp\\korvane-picker-%lu-%lu", GetCurrentProcessId(), GetTickCount());
            root_ = name;
            EXPECT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
        }
        return root_;
    }
    // Makes folders (names ending in "\") and empty files below Root(); their full paths.
    std::vector<std::wstring> MakeTree(const std::vector<std::wstring>& entries) {
        std::vector<std::wstring> files;
        for (const std::wstring& entry : entries) {
            const std::wstring path = Root() + L"\\" + entry;
            if (entry.back() == L'\\') {
                EXPECT_TRUE(CreateDirectoryW(path.substr(0, path.size() - 1).c_str(), nullptr)) << Utf8(path);
            } else {
                HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
                EXPECT_NE(file, INVALID_HANDLE_VALUE) << Utf8(path);
                CloseHandle(file);
                files.push_back(path);
            }
        }
        return files;
    }
    // Runs a Unix program: Win32 cannot make symbolic links or drive letters under Wine. Its process cannot
    // be waited on: callers wait for what it makes.
    static void RunUnix(const wchar_t* program, std::wstring commandLine) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessW(program, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &process))
            << Utf8(commandLine);
        if (process.hThread) CloseHandle(process.hThread);
        if (process.hProcess) CloseHandle(process.hProcess);
    }
    static bool WaitFor(const std::function<bool()>& made) {
        const DWORD start = GetTickCount();
        while (!made()) {
            if (GetTickCount() - start > 10000) return false;
            Sleep(20);
        }
        return true;
    }
    // The Unix path of a path on the Z: drive.
    static std::wstring UnixPath(const std::wstring& path) {
        std::wstring unix = path.substr(2);
        std::replace(unix.begin(), unix.end(), L'\\', L'/');
        return unix;
    }
    static bool Exists(const std::wstring& path) {
        return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    // A Unix symbolic link.
    void MakeUnixLink(const std::wstring& target, const std::wstring& link) {
        RunUnix(L"Z:\\bin\\ln", L"ln -s " + target + L" " + UnixPath(link));
        ASSERT_TRUE(WaitFor([&] {
            WIN32_FIND_DATAW found;
            const HANDLE find = FindFirstFileW(link.c_str(), &found);
            if (find != INVALID_HANDLE_VALUE) FindClose(find);
            return find != INVALID_HANDLE_VALUE;
        })) << "ln made no "
            << Utf8(link);
    }

    // The folder browser answers with this folder.
    HRESULT ShowFolder(FolderChoice& choice, VARIANT* result, IFtpPartition* object = nullptr) {
        g_folder = &choice;
        ImportPatch browse(ServerModule(), "shell32.dll", "SHBrowseForFolderW",
                           reinterpret_cast<const void*>(&FakeSHBrowseForFolderW));
        ImportPatch path(ServerModule(), "shell32.dll", "SHGetPathFromIDListW",
                         reinterpret_cast<const void*>(&FakeSHGetPathFromIDListW));
        EXPECT_TRUE(browse.Applied() && path.Applied());
        return (object ? object : picker.Get())->ShowFolder(result);
    }
    std::vector<std::wstring> ScanOf(const std::wstring& folder, HRESULT expected = S_OK) {
        FolderChoice choice;
        choice.path = folder;
        CComVariant result;
        CComPtr<IFtpPartition> fresh = Create();
        EXPECT_EQ(ShowFolder(choice, &result, fresh), expected) << Utf8(folder);
        EXPECT_EQ(result.vt, VT_BOOL);
        EXPECT_EQ(result.boolVal, VARIANT_TRUE);
        return Files(fresh);
    }

    // The file-open dialog answers through fake.
    HRESULT ShowDialog(std::function<BOOL(OPENFILENAMEW*)> fake, VARIANT* result) {
        g_fileDialog = std::move(fake);
        ImportPatch dialog(ServerModule(), "comdlg32.dll", "GetOpenFileNameW",
                           reinterpret_cast<const void*>(&FakeGetOpenFileNameW));
        EXPECT_TRUE(dialog.Applied());
        return picker->ShowDialog(result);
    }
    // Opens the file-open dialog, which the user cancels; what the object asked it for.
    DialogRequest CancelledRequest() {
        DialogRequest seen;
        CComVariant result;
        EXPECT_EQ(ShowDialog(
                      [&](OPENFILENAMEW* d) {
                          seen = Request(d);
                          return FALSE;
                      },
                      &result),
                  S_OK);
        return seen;
    }
    // A dialog that fills the name buffer with text (NULs included) and the name offset.
    static std::function<BOOL(OPENFILENAMEW*)> Choosing(const std::wstring& names, WORD offset) {
        return [names, offset](OPENFILENAMEW* dialog) {
            std::copy(names.begin(), names.end(), dialog->lpstrFile);
            dialog->nFileOffset = offset;
            return TRUE;
        };
    }

    void RemoveTree() {
        if (!root_.empty()) RunUnix(L"Z:\\bin\\rm", L"rm -rf " + UnixPath(root_));
    }

    CComPtr<IFtpPartition> picker;

private:
    std::wstring root_;
};

// ---- identity, safety, creation

TEST_F(PickerTest, AnswersItsInterfacesAndSafetyOptions) {
    CComPtr<IDispatch> dispatch;
    ASSERT_EQ(picker->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid()), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(dispatch.Get()), static_cast<IUnknown*>(picker.Get()));
    for (const IID* iid :
         {&IID_ISupportErrorInfo, &IID_IConnectionPointContainer, &IID_IObjectWithSite, &IID_IObjectSafety}) {
        CComPtr<IUnknown> answered;
        EXPECT_EQ(picker->QueryInterface(*iid, answered.ReceiveVoid()), S_OK);
    }
    for (const IID* iid : {&IID_IKorvane, &IID_IOleObject, &IID_IViewObject, &IID_IPersistStreamInit}) {
        void* answered = Garbage();
        EXPECT_EQ(picker->QueryInterface(*iid, &answered), E_NOINTERFACE);
        EXPECT_EQ(answered, nullptr);
    }

    CComPtr<ISupportErrorInfo> errorInfo;
    ASSERT_EQ(picker->QueryInterface(IID_ISupportErrorInfo, errorInfo.ReceiveVoid()), S_OK);
    EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IFtpPartition), S_OK);
    for (const IID* iid : {&IID_IDispatch, &IID_IUnknown, &IID_IKorvane, &IID_IObjectSafety})
        EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(*iid), S_FALSE);

    CComPtr<IObjectSafety> safety;
    ASSERT_EQ(picker->QueryInterface(IID_IObjectSafety, safety.ReceiveVoid()), S_OK);
    testcommon::ExpectSafeForUntrustedCallersOnly(safety, IID_IFtpPartition);
    DWORD supported = 99, enabled = 99;
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IFtpPartition, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER));
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IKorvane, &supported, &enabled), E_NOINTERFACE);

    // The site: none at first, then the one set, as a counted reference.
    CComPtr<IObjectWithSite> withSite;
    ASSERT_EQ(picker->QueryInterface(IID_IObjectWithSite, withSite.ReceiveVoid()), S_OK);
    void* site = Garbage();
    EXPECT_EQ(withSite->GetSite(IID_IUnknown, &site), E_FAIL);
    EXPECT_EQ(site, nullptr);
    EXPECT_EQ(withSite->GetSite(IID_IUnknown, nullptr), E_POINTER);
    testcommon::ControllingOuter host;
    ASSERT_EQ(withSite->SetSite(&host), S_OK);
    EXPECT_EQ(host.references, 2);
    CComPtr<IUnknown> got;
    EXPECT_EQ(withSite->GetSite(IID_IUnknown, got.ReceiveVoid()), S_OK);
    EXPECT_EQ(got.Get(), static_cast<IUnknown*>(&host));
    got.Release();
    ASSERT_EQ(withSite->SetSite(nullptr), S_OK);
    EXPECT_EQ(host.references, 1);

    // A live picker keeps the DLL loaded.
    auto canUnloadNow = reinterpret_cast<HRESULT(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(ServerModule(), "DllCanUnloadNow")));
    ASSERT_NE(canUnloadNow, nullptr);
    EXPECT_EQ(canUnloadNow(), S_FALSE);

    // One connection point, for the picker's own (empty) event interface.
    CComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(picker->QueryInterface(IID_IConnectionPointContainer, container.ReceiveVoid()), S_OK);
    CComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(DIID__IFtpPartitionEvents, &point), S_OK);
    CComPtr<IConnectionPoint> none;
    EXPECT_EQ(container->FindConnectionPoint(DIID__IKorvaneEvents, &none), CONNECT_E_NOCONNECTION);
}

TEST_F(PickerTest, CreatedPlainAndAggregated) {
    testcommon::ExpectAggregatesUnderItsOuter(
        CLSID_FtpPartition, IID_IFtpPartition, [](IUnknown* aggregated) {
            CComBSTR version;
            EXPECT_EQ(static_cast<IFtpPartition*>(aggregated)->get_Version(&version), S_OK);
        });

    testcommon::ControllingOuter outer;
    // Asking for anything but IUnknown with an outer object is refused.
    void* refused = Garbage();
    EXPECT_EQ(CoCreateInstance(CLSID_FtpPartition, &outer, CLSCTX_INPROC_SERVER, IID_IFtpPartition, &refused),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(refused, nullptr);
}

TEST_F(PickerTest, VersionText) {
    CComBSTR version;
    ASSERT_EQ(picker->get_Version(&version), S_OK);
    EXPECT_EQ(std::wstring(version), L"2,3,48,2015");
    EXPECT_EQ(version.Length(), 11u);
    EXPECT_EQ(picker->get_Version(nullptr), S_OK) << "nothing is written through a null pointer";
}

// ---- what the object asks the file-open dialog for

TEST_F(PickerTest, FileFilterBuildsOneEntryFromTheCommaList) {
    struct Case {
        const char* name;
        const wchar_t* text;  // null: a null BSTR
        UINT length;          // of the BSTR, NULs included
        std::vector<std::wstring> filter;
    };
    const Case cases[] = {
        {"one extension", L"jpg", 3, {L"jpg", L"*.jpg"}},
        {"two", L"jpg,png", 7, {L"jpg,png", L"*.jpg;*.png"}},
        {"doubled comma", L"jpg,,png", 8, {L"jpg,,png", L"*.jpg;*.png"}},
        {"leading and trailing commas", L",jpg,png,", 9, {L",jpg,png,", L"*.jpg;*.png"}},
        {"a blank after a comma is kept", L"jpg, png", 8, {L"jpg, png", L"*.jpg;*. png"}},
        {"empty text: an empty list", L"", 0, {}},
        {"a null BSTR: an empty list", nullptr, 0, {}},
        {"commas only: the text without a pattern", L",,", 2, {L",,"}},
        {"the text up to its first NUL", L"jpg\0png", 7, {L"jpg", L"*.jpg"}},
    };
    // A new object's filter: every file.
    const DialogRequest fresh = CancelledRequest();
    EXPECT_EQ(fresh.filter, (std::vector<std::wstring>{L"All Files", L"*.*"})) << Printable(fresh.filter);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CComBSTR text;
        if (c.text) text.Attach(SysAllocStringLen(c.text, c.length));
        ASSERT_EQ(picker->put_FileFilter(text), S_OK);
        const DialogRequest seen = CancelledRequest();
        EXPECT_EQ(seen.filter, c.filter) << Printable(seen.filter);
        EXPECT_EQ(seen.filterIndex, 1u);
    }
}

TEST_F(PickerTest, DialogRequestFollowsTheProperties) {
    struct Case {
        const char* name;
        LONG allowMultiSelect;  // LONG_MIN: not set
        bool setInitDir;
        std::wstring initDir;
        DWORD flags;
        std::wstring initialDir;
    };
    const DWORD single = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
    const Case cases[] = {
        {"a new object", LONG_MIN, false, L"", single | OFN_ALLOWMULTISELECT, L"<null>"},
        {"AllowMultiSelect 0", 0, false, L"", single, L"<null>"},
        {"AllowMultiSelect 1", 1, true, L"C:\\windows", single | OFN_ALLOWMULTISELECT, L"C:\\windows"},
        {"AllowMultiSelect -1", -1, false, L"", single | OFN_ALLOWMULTISELECT, L"C:\\windows"},
        {"AllowMultiSelect 2, InitDir empty", 2, true, L"", single | OFN_ALLOWMULTISELECT, L"<null>"},
        {"back to 0, InitDir up to its NUL", 0, true, std::wstring(L"Z:\\tmp\0ignored", 14), single,
         L"Z:\\tmp"},
        {"InitDir of MAX_PATH - 1 characters", 0, true, std::wstring(MAX_PATH - 1, L'd'), single,
         std::wstring(MAX_PATH - 1, L'd').c_str()},
        {"InitDir too long for any folder: none", 0, true, std::wstring(MAX_PATH, L'd'), single, L"<null>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.allowMultiSelect != LONG_MIN) {
            ASSERT_EQ(picker->put_AllowMultiSelect(c.allowMultiSelect), S_OK);
        }
        if (c.setInitDir) {
            CComBSTR dir(c.initDir.c_str(), static_cast<UINT>(c.initDir.size()));
            ASSERT_EQ(picker->put_InitDir(dir), S_OK);
        }
        const DialogRequest seen = CancelledRequest();
        EXPECT_EQ(seen.flags, c.flags);
        EXPECT_EQ(seen.initialDir, c.initialDir);
        EXPECT_EQ(seen.nameBufferLength, 40960u);
        EXPECT_TRUE(seen.nameBufferZeroed);
        EXPECT_TRUE(seen.plain);
        EXPECT_EQ(seen.structSize, sizeof(OPENFILENAMEW));
    }
}

// ---- what the object makes of the dialog's answer

TEST_F(PickerTest, DialogAnswersAppendTheirPaths) {
    const std::wstring garbage(L"junk\0more\0", 10);
    struct Case {
        const char* name;
        LONG allowMultiSelect;
        std::wstring names;  // what the dialog writes into the name buffer
        WORD offset;
        BOOL answer;
        bool result;
        std::vector<std::wstring> appended;
    };
    const Case cases[] = {
        {"one file, AllowMultiSelect 0",
         0,
         std::wstring(L"C:\\d\\a.txt\0", 11),
         5,
         TRUE,
         true,
         {L"C:\\d\\a.txt"}},
        {"three files",
         1,
         std::wstring(L"C:\\d\0a.txt\0b b.txt\0c\0\0", 23),
         5,
         TRUE,
         true,
         {L"C:\\d\\a.txt", L"C:\\d\\b b.txt", L"C:\\d\\c"}},
        {"a later name longer than the first",
         2,
         std::wstring(L"C:\\d\0a\0longer.txt\0\0", 20),
         5,
         TRUE,
         true,
         {L"C:\\d\\a", L"C:\\d\\longer.txt"}},
        // Mends: a single file chosen with multi-select comes back as one full path; what the buffer holds
        // after the dialog's answer is not a name.
        {"one file with multi-select",
         -1,
         std::wstring(L"C:\\d\\a.txt\0", 11) + garbage,
         5,
         TRUE,
         true,
         {L"C:\\d\\a.txt"}},
        {"a name that runs to the buffer's end",
         1,
         std::wstring(L"C:\\d\0a\0", 7) + std::wstring(40953, L'x'),
         5,
         TRUE,
         true,
         {L"C:\\d\\a"}},
        {"no NUL at all", 1, std::wstring(40960, L'y'), 5, TRUE, true, {}},
        {"cancelled", 1, L"", 0, FALSE, false, {}},
        {"an answer other than 1", 1, std::wstring(L"C:\\d\\a.txt\0", 11), 5, 2, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<IFtpPartition> object = Create();
        picker = object;
        ASSERT_EQ(picker->put_AllowMultiSelect(c.allowMultiSelect), S_OK);
        CComVariant result;
        const std::wstring names = c.names;
        const WORD offset = c.offset;
        const BOOL answer = c.answer;
        ASSERT_EQ(ShowDialog(
                      [&](OPENFILENAMEW* d) {
                          std::copy(names.begin(), names.end(), d->lpstrFile);
                          d->nFileOffset = offset;
                          return answer;
                      },
                      &result),
                  S_OK);
        EXPECT_EQ(result.vt, VT_BOOL);
        EXPECT_EQ(result.boolVal, c.result ? VARIANT_TRUE : VARIANT_FALSE);
        bool empty = false;
        const std::vector<std::wstring> files = Files(picker, &empty);
        EXPECT_EQ(files, c.appended) << Printable(files);
        EXPECT_EQ(empty, c.appended.empty()) << "nothing chosen: VT_EMPTY";
    }
}

// The dialog's message loop lets the page call the object again before the dialog returns: the running
// call keeps the settings it started with, and the object lives on until the call is over.
TEST_F(PickerTest, PageCallsTheObjectWhileTheDialogIsOpen) {
    CComVariant result;
    std::vector<std::wstring> filterAfterPageCalls;
    std::vector<std::wstring> filesDuringTheDialog;
    const auto chooseTwo = Choosing(std::wstring(L"C:\\d\0a\0b\0\0", 10), 5);
    ASSERT_EQ(ShowDialog(
                  [&](OPENFILENAMEW* d) {
                      std::wstring longer(100000, L'x');
                      CComBSTR filter(longer.c_str());
                      EXPECT_EQ(picker->put_FileFilter(filter), S_OK);
                      EXPECT_EQ(picker->put_AllowMultiSelect(0), S_OK);
                      filesDuringTheDialog = Files(picker);
                      for (const wchar_t* text = d->lpstrFilter; *text; text += wcslen(text) + 1)
                          filterAfterPageCalls.push_back(text);
                      return chooseTwo(d);
                  },
                  &result),
              S_OK);
    EXPECT_EQ(result.boolVal, VARIANT_TRUE);
    EXPECT_TRUE(filesDuringTheDialog.empty());
    EXPECT_EQ(filterAfterPageCalls, (std::vector<std::wstring>{L"All Files", L"*.*"}));
    EXPECT_EQ(Files(picker), (std::vector<std::wstring>{L"C:\\d\\a", L"C:\\d\\b"})) << "still multi-select";

    // The page lets go of its last reference while the dialog is open.
    CComVariant afterRelease;
    const auto chooseOne = Choosing(std::wstring(L"C:\\d\\a.txt\0", 11), 5);
    EXPECT_EQ(ShowDialog(
                  [&](OPENFILENAMEW* d) {
                      picker.Release();
                      return chooseOne(d);
                  },
                  &afterRelease),
              S_OK);
    EXPECT_EQ(afterRelease.boolVal, VARIANT_TRUE);
}

// Mend: the name buffer starts zeroed, whatever an earlier dialog left in memory.
TEST_F(PickerTest, NameBufferStartsZeroedEveryTime) {
    for (int round = 0; round < 3; ++round) {
        bool zeroed = false;
        CComVariant result;
        ShowDialog(
            [&](OPENFILENAMEW* d) {
                zeroed = std::all_of(d->lpstrFile, d->lpstrFile + 40960, [](wchar_t c) { return c == 0; });
                std::fill(d->lpstrFile, d->lpstrFile + 40960, L'z');  // a dialog that wrote all over it
                return FALSE;
            },
            &result);
        EXPECT_TRUE(zeroed) << "round " << round;
    }
}

TEST_F(PickerTest, ListOnlyGrowsAndCopiesDoNotChange) {
    bool empty = false;
    EXPECT_TRUE(Files(picker, &empty).empty());
    EXPECT_TRUE(empty) << "before anything was chosen";

    CComVariant first;
    ASSERT_EQ(ShowDialog(Choosing(std::wstring(L"C:\\one\\a.txt\0", 13), 7), &first), S_OK);
    CComVariant copy;
    ASSERT_EQ(picker->GetSelectedFiles(&copy), S_OK);
    ASSERT_EQ(copy.vt, VT_ARRAY | VT_VARIANT);

    CComVariant cancelled;
    ASSERT_EQ(ShowDialog([](OPENFILENAMEW*) { return FALSE; }, &cancelled), S_OK);
    CComVariant second;
    ASSERT_EQ(ShowDialog(Choosing(std::wstring(L"C:\\two\0b\0c\0\0", 13), 7), &second), S_OK);
    EXPECT_EQ(Files(picker), (std::vector<std::wstring>{L"C:\\one\\a.txt", L"C:\\two\\b", L"C:\\two\\c"}))
        << "appended in order of choosing; a cancel removes nothing";

    // The copy handed out first is the caller's and stays as it was.
    LONG upper = -1;
    SafeArrayGetUBound(copy.parray, 1, &upper);
    EXPECT_EQ(upper, 0);
    CComSafeArrayData<VARIANT> elements(copy.parray);
    EXPECT_EQ(std::wstring(elements.Get()[0].bstrVal), L"C:\\one\\a.txt");
}

// Mend: out-VARIANTs are initialised, not cleared: what they held is the caller's, not the object's.
TEST_F(PickerTest, OutVariantsAreInitialisedNotCleared) {
    ReleaseCounter held;
    auto garbage = [&]() {
        VARIANT v;
        v.vt = VT_UNKNOWN;
        v.punkVal = &held;
        return v;
    };
    VARIANT dialog = garbage(), folder = garbage(), files = garbage(), moreFiles = garbage();
    ASSERT_EQ(ShowDialog(Choosing(std::wstring(L"C:\\a\0b\0\0", 9), 5), &dialog), S_OK);
    EXPECT_EQ(dialog.vt, VT_BOOL);
    FolderChoice cancel;
    cancel.chosen = false;
    EXPECT_EQ(ShowFolder(cancel, &folder), S_FALSE);
    EXPECT_EQ(folder.vt, VT_BOOL);
    ASSERT_EQ(picker->GetSelectedFiles(&files), S_OK);
    EXPECT_EQ(files.vt, VT_ARRAY | VT_VARIANT);
    VariantClear(&files);
    CComPtr<IFtpPartition> fresh = Create();
    ASSERT_EQ(fresh->GetSelectedFiles(&moreFiles), S_OK);
    EXPECT_EQ(moreFiles.vt, VT_EMPTY);
    EXPECT_EQ(held.releases, 0) << "an out-VARIANT was cleared";

    EXPECT_EQ(picker->ShowDialog(nullptr), E_POINTER);
    EXPECT_EQ(picker->ShowFolder(nullptr), E_POINTER);
    EXPECT_EQ(picker->GetSelectedFiles(nullptr), E_POINTER);
}

// ---- the folder browser

TEST_F(PickerTest, FolderBrowserRequestAndCancel) {
    FolderChoice cancel;
    cancel.chosen = false;
    CComVariant result;
    EXPECT_EQ(ShowFolder(cancel, &result), S_FALSE);
    EXPECT_EQ(result.vt, VT_BOOL);
    EXPECT_EQ(result.boolVal, VARIANT_FALSE);
    EXPECT_EQ(cancel.calls, 1);
    EXPECT_TRUE(cancel.ownerNull);
    EXPECT_TRUE(cancel.rootNull) << "the browser starts at the desktop";
    EXPECT_TRUE(cancel.displayNameZeroed);
    EXPECT_TRUE(cancel.noCallback);
    EXPECT_EQ(cancel.title, L"选择文件夹");
    EXPECT_EQ(cancel.flags, static_cast<UINT>(BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN));
    bool empty = false;
    Files(picker, &empty);
    EXPECT_TRUE(empty);

    // An item without a file-system path: true, nothing scanned.
    FolderChoice virtualFolder;
    virtualFolder.hasPath = false;
    CComVariant chosen;
    EXPECT_EQ(ShowFolder(virtualFolder, &chosen), S_OK);
    EXPECT_EQ(chosen.boolVal, VARIANT_TRUE);
    Files(picker, &empty);
    EXPECT_TRUE(empty);
}

// Every subfolder's files form one block of the list, standing where the subfolder was met; every file
// below the folder is there once, hidden and system files included.
TEST_F(PickerTest, ScanListsEveryFileBelowTheFolderDepthFirst) {
    const std::vector<std::wstring> files = MakeTree({
        L"top.txt",
        L"a\\",
        L"a\\one.bin",
        L"a\\deeper\\",
        L"a\\deeper\\two.bin",
        L"a\\deeper\\three",
        L"a\\empty\\",
        L"b\\",
        L"b\\four.jpg",
        L"z.txt",
        L".dotted",
        L"hidden.txt",
        L"system.sys",
        L"名字.txt",
    });
    ASSERT_TRUE(SetFileAttributesW((Root() + L"\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesW((Root() + L"\\system.sys").c_str(),
                                   FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN));

    const std::vector<std::wstring> listed = ScanOf(Root());
    EXPECT_EQ(std::multiset<std::wstring>(listed.begin(), listed.end()),
              std::multiset<std::wstring>(files.begin(), files.end()))
        << Printable(listed);
    for (const std::wstring& folder : {Root() + L"\\a\\", Root() + L"\\a\\deeper\\", Root() + L"\\b\\"}) {
        std::vector<size_t> at;
        for (size_t i = 0; i < listed.size(); ++i)
            if (listed[i].compare(0, folder.size(), folder) == 0) at.push_back(i);
        ASSERT_FALSE(at.empty()) << Utf8(folder);
        EXPECT_EQ(at.back() - at.front() + 1, at.size())
            << Utf8(folder) << " is not one block: " << Printable(listed);
    }
}

TEST_F(PickerTest, ScanOfATreeWithoutFilesAddsNothing) {
    MakeTree({L"a\\", L"a\\b\\", L"c\\"});
    FolderChoice choice;
    choice.path = Root();
    CComVariant result;
    EXPECT_EQ(ShowFolder(choice, &result), S_OK);
    EXPECT_EQ(result.vt, VT_BOOL);
    EXPECT_EQ(result.boolVal, VARIANT_TRUE) << "true also when nothing was found";
    bool empty = false;
    Files(picker, &empty);
    EXPECT_TRUE(empty) << "nothing chosen before: still VT_EMPTY";
}

// A folder that cannot be searched is skipped; the scan goes on with the entries after it.
TEST_F(PickerTest, ScanSkipsFoldersThatCannotBeRead) {
    const std::vector<std::wstring> files =
        MakeTree({L"a.txt", L"locked\\", L"locked\\hidden.txt", L"z.txt"});
    // Held open without sharing: no one else can list it.
    HANDLE locked = CreateFileW((Root() + L"\\locked").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    const std::vector<std::wstring> listed = ScanOf(Root());
    CloseHandle(locked);
    EXPECT_EQ(std::set<std::wstring>(listed.begin(), listed.end()),
              (std::set<std::wstring>{files[0], files[2]}))
        << Printable(listed);
    EXPECT_TRUE(ScanOf(Root() + L"\\no such folder").empty());
}

// The separator goes in also after a drive root's backslash. The drive is the test's own: a letter whose
// link in the prefix's dosdevices folder (Wine's drive map) leads to a tree the test makes.
TEST_F(PickerTest, ScanOfADriveRootWritesTwoBackslashesAfterTheColon) {
#ifdef _WIN64
    const std::wstring letter = L"q";  // the two targets' tests share the prefix and run at the same time
#else
    const std::wstring letter = L"p";
#endif
    MakeTree({L"a.txt", L"sub\\", L"sub\\b.txt"});
    wchar_t prefix[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH), 0u);
    const std::wstring device = std::wstring(prefix) + L"/dosdevices/" + letter + L":";
    RunUnix(L"Z:\\bin\\ln", L"ln -sfn " + UnixPath(Root()) + L" " + device);
    const std::wstring drive = letter + L":\\";
    ASSERT_TRUE(WaitFor([&] { return Exists(drive + L"sub\\b.txt"); })) << "no drive " << Utf8(drive);

    const std::vector<std::wstring> listed = ScanOf(drive);
    RunUnix(L"Z:\\bin\\rm", L"rm -f " + device);
    EXPECT_EQ(listed.size(), 2u) << Printable(listed);
    EXPECT_EQ(std::set<std::wstring>(listed.begin(), listed.end()),
              (std::set<std::wstring>{letter + L":\\\\a.txt", letter + L":\\\\sub\\b.txt"}))
        << Printable(listed);
}

// Mend: a folder link is not followed, so one that points back up cannot list the tree again and again;
// a link to a file is listed like a file.
TEST_F(PickerTest, ScanDoesNotFollowFolderLinks) {
    const std::vector<std::wstring> files = MakeTree({L"a.txt", L"sub\\", L"sub\\b.txt"});
    MakeUnixLink(L"..", Root() + L"\\sub\\up");
    MakeUnixLink(L"../a.txt", Root() + L"\\sub\\file-link");
    ASSERT_FALSE(HasFatalFailure());
    const DWORD attributes = GetFileAttributesW((Root() + L"\\sub\\up").c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        << "a folder link shows as a reparse point";

    const std::vector<std::wstring> listed = ScanOf(Root());
    EXPECT_EQ(std::multiset<std::wstring>(listed.begin(), listed.end()),
              (std::multiset<std::wstring>{files[0], files[1], Root() + L"\\sub\\file-link"}))
        << Printable(listed);
}

// Only a folder that names another place (a name surrogate: symbolic link, junction, mount point) is left
// out; a folder that is a reparse point of another kind holds its own files, which are listed.
TEST_F(PickerTest, ScanEntersReparseFoldersThatAreNoLinks) {
    const std::vector<std::wstring> files = MakeTree({
        L"a.txt",
        L"cloud\\",
        L"cloud\\synced.txt",
        L"cloud\\deeper\\",
        L"cloud\\deeper\\synced-too.txt",
        L"dedup\\",
        L"dedup\\d.txt",
        L"link\\",
        L"link\\l.txt",
        L"mount\\",
        L"mount\\m.txt",
        L"untagged\\",
        L"untagged\\u.txt",
        L"placeholder.txt",
    });
    g_reparseTags = {
        {L"cloud", 0x9000001A},            // a cloud client's synchronised folder
        {L"deeper", 0x9000101A},           // ... and one of its subfolders
        {L"dedup", 0x80000013},            // a deduplicated folder
        {L"placeholder.txt", 0x9000001A},  // a file placeholder
        {L"link", 0xA000000C},             // a symbolic link
        {L"mount", 0xA0000003},            // a mount point or junction
        {L"untagged", 0},                  // a reparse point whose tag the system left out
    };
    std::vector<std::wstring> listed;
    {
        ImportPatch first(ServerModule(), "kernel32.dll", "FindFirstFileW",
                          reinterpret_cast<const void*>(&TaggingFindFirstFileW));
        ImportPatch next(ServerModule(), "kernel32.dll", "FindNextFileW",
                         reinterpret_cast<const void*>(&TaggingFindNextFileW));
        ASSERT_TRUE(first.Applied() && next.Applied());
        listed = ScanOf(Root());
    }
    EXPECT_EQ(std::multiset<std::wstring>(listed.begin(), listed.end()),
              (std::multiset<std::wstring>{files[0], files[1], files[2], files[3], files[7]}))
        << Printable(listed);
}

// Paths a hostile page might get chosen: each scan ends, nothing crashes.
TEST_F(PickerTest, ScanOfUncDeviceAndNamespacePathsEnds) {
    const std::vector<std::wstring> files = MakeTree({L"a.txt"});
    struct Case {
        std::wstring path;
        std::vector<std::wstring> listed;
        bool drive;  // the path names a drive's device: its files are listed below it
    };
    const std::wstring longPath = L"C:\\" + std::wstring(MAX_PATH - 4, L'a');
    const Case cases[] = {
        {L"\\\\server\\share", {}, false},
        {L"\\\\127.0.0.1\\c$", {}, false},
        {L"\\\\.\\pipe\\x", {}, false},
        {L"\\\\.\\NUL", {}, false},
        {L"\\\\?\\GLOBALROOT", {}, false},
        {L"", {}, false},
        {longPath, {}, false},
        {L"\\\\?\\" + Root(), {L"\\\\?\\" + files[0]}, false},
        {L"\\\\.\\C:", {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.path));
        const std::vector<std::wstring> listed = ScanOf(c.path);
        if (!c.drive) {
            EXPECT_EQ(listed, c.listed) << Printable(listed);
            continue;
        }
        EXPECT_FALSE(listed.empty());
        for (const std::wstring& path : listed)
            ASSERT_EQ(path.compare(0, 7, c.path + L"\\"), 0) << Utf8(path);
    }
}

// ---- running out of memory part-way

TEST_F(PickerTest, RunningOutOfMemoryKeepsWhatWasAppended) {
    MakeTree({L"1", L"2", L"3", L"4", L"5"});
    const std::vector<std::wstring> all = ScanOf(Root());
    ASSERT_EQ(all.size(), 5u);

    ImportPatch limit(ServerModule(), "oleaut32.dll", "SysAllocStringLen",
                      reinterpret_cast<const void*>(&LimitedSysAllocStringLen));
    ASSERT_TRUE(limit.Applied());
    {
        g_allocationsLeft = 2;
        FolderChoice choice;
        choice.path = Root();
        CComVariant result;
        EXPECT_EQ(ShowFolder(choice, &result), E_OUTOFMEMORY);
        EXPECT_EQ(result.vt, VT_EMPTY);
        g_allocationsLeft = -1;
        EXPECT_EQ(Files(picker), std::vector<std::wstring>(all.begin(), all.begin() + 2));
    }
    {
        CComPtr<IFtpPartition> fresh = Create();
        picker = fresh;
        g_allocationsLeft = 1;
        CComVariant result;
        EXPECT_EQ(ShowDialog(Choosing(std::wstring(L"C:\\d\0a\0b\0c\0\0", 13), 5), &result), E_OUTOFMEMORY);
        EXPECT_EQ(result.vt, VT_EMPTY);
        g_allocationsLeft = -1;
        EXPECT_EQ(Files(picker), std::vector<std::wstring>{L"C:\\d\\a"});

        // The copy for the page: no memory for its texts, or none for the array.
        g_allocationsLeft = 0;
        CComVariant copy;
        EXPECT_EQ(picker->GetSelectedFiles(&copy), E_OUTOFMEMORY);
        EXPECT_EQ(copy.vt, VT_EMPTY);
        g_allocationsLeft = -1;
        ImportPatch noArray(ServerModule(), "oleaut32.dll", "SafeArrayCreateVector",
                            reinterpret_cast<const void*>(&FailingSafeArrayCreateVector));
        ASSERT_TRUE(noArray.Applied());
        EXPECT_EQ(picker->GetSelectedFiles(&copy), E_OUTOFMEMORY);
        EXPECT_EQ(copy.vt, VT_EMPTY);
    }
}

// Huge texts from a page are taken; a start folder longer than any path the dialog can open is not passed on.
TEST_F(PickerTest, HugeTextPropertiesAreTaken) {
    std::wstring extensions;
    for (int i = 0; i < 200000; ++i) extensions += L"e" + std::to_wstring(i % 97) + L",";
    CComBSTR filter(extensions.c_str());
    CComBSTR dir(std::wstring(1 << 20, L'd').c_str());
    ASSERT_EQ(picker->put_FileFilter(filter), S_OK);
    ASSERT_EQ(picker->put_InitDir(dir), S_OK);
    const DialogRequest seen = CancelledRequest();
    ASSERT_EQ(seen.filter.size(), 2u);
    EXPECT_EQ(seen.filter[0], extensions);
    EXPECT_EQ(seen.initialDir, L"<null>");
}

}  // namespace

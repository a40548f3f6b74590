// The picker: the file-open dialog, the folder browser, the folder scan and the list of chosen paths.
#include "com/FtpPartition.h"

#include <commdlg.h>
#include <shlobj.h>

#include <cwchar>
#include <memory>
#include <new>
#include <utility>

#include "classlib/ComResult.h"
#include "com/KorvaneIdentity.h"

namespace {

const wchar_t kVersion[] = L"2,3,48,2015";
const wchar_t kFolderTitle[] = L"选择文件夹";
// The filter a new object shows: one entry, every file.
const wchar_t kAllFilesFilter[] = L"All Files\0*.*\0";

// The folder picker's choice, freed with ILFree.
using ItemList = UniqueOwner<ZeroEmptyKind<ITEMIDLIST*, &ILFree>>;

bool IsDotEntry(const wchar_t* name) { return std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0; }

// A folder that names another place (a junction, a symbolic link, a mount point: a name surrogate) is not
// followed: one that leads back up the tree would list the same files again and again. Other reparse points
// are the folder itself with its files, such as a cloud client's placeholders, and are scanned. The tag
// comes with the entry; one the system left out (0) is taken for a link.
bool IsFolderLink(const WIN32_FIND_DATAW& entry) {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
    return entry.dwReserved0 == 0 || IsReparseTagNameSurrogate(entry.dwReserved0);
}

// A text handed in by the page, up to its first NUL; a null BSTR is the empty text.
std::wstring TextOf(BSTR text) { return text ? std::wstring(text) : std::wstring(); }

void SetBool(VARIANT* var, bool value) {
    var->vt = VT_BOOL;
    var->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

}  // namespace

CFtpPartition::CFtpPartition() : filter_(kAllFilesFilter, sizeof kAllFilesFilter / sizeof(wchar_t) - 1) {}

HRESULT CFtpPartition::UpdateRegistry(bool registering) {
    const RegistryReplacement replacements[] = {KORVANE_CLASS_REPLACEMENTS(FtpPartition), {nullptr, nullptr}};
    return CAtlModule::Get()->UpdateRegistryFromResource(IDR_FTPPARTITION, registering, replacements);
}

const ComInterfaceEntry* CFtpPartition::GetInterfaceTable() {
    static const ComInterfaceEntry table[] = {
        {&IID_IFtpPartition, &ComInterfaceCast<CFtpPartition, IFtpPartition>},
        {&IID_IDispatch, &ComInterfaceCast<CFtpPartition, IFtpPartition>},
        {&IID_ISupportErrorInfo, &ComInterfaceCast<CFtpPartition, ISupportErrorInfo>},
        {&IID_IConnectionPointContainer, &ComInterfaceCast<CFtpPartition, IConnectionPointContainer>},
        {&IID_IObjectWithSite, &ComInterfaceCast<CFtpPartition, IObjectWithSite>},
        {&IID_IObjectSafety, &ComInterfaceCast<CFtpPartition, IObjectSafety>},
        {nullptr, nullptr},
    };
    return table;
}

const ConnectionPointEntry* CFtpPartition::GetConnectionPointTable() {
    static const ConnectionPointEntry table[] = {
        {&DIID__IFtpPartitionEvents,
         &ConnectionPointOf<CFtpPartition, CProxy_IFtpPartitionEvents<CFtpPartition>>},
        {nullptr, nullptr},
    };
    return table;
}

STDMETHODIMP CFtpPartition::InterfaceSupportsErrorInfo(REFIID iid) {
    return InlineIsEqualGUID(iid, IID_IFtpPartition) ? S_OK : S_FALSE;
}

std::wstring CFtpPartition::BuildFilterPattern(const std::wstring& extensions) {
    std::wstring filter = extensions;
    filter.push_back(L'\0');
    // Pieces between commas; runs of commas are one separator and no blanks are trimmed.
    size_t start = 0;
    while (start < extensions.size()) {
        size_t end = extensions.find(L',', start);
        if (end == std::wstring::npos) end = extensions.size();
        if (end > start) {
            filter += L"*.";
            filter.append(extensions, start, end - start);
            filter += L';';
        }
        start = end + 1;
    }
    // The last ";" (or the NUL after the text when there was no piece) gives way to the entry's end.
    filter.back() = L'\0';
    return filter;
}

HRESULT CFtpPartition::Append(const wchar_t* path, size_t length) {
    if (length > UINT_MAX / sizeof(wchar_t)) return E_OUTOFMEMORY;
    CComBSTR copy(path, static_cast<UINT>(length));
    if (!copy) return E_OUTOFMEMORY;
    return Guarded([&] { chosenFiles_.push_back(std::move(copy)); });
}

HRESULT CFtpPartition::AppendDialogResult(const std::vector<wchar_t>& names, WORD nameOffset,
                                          bool multiSelect) {
    const size_t size = names.size();
    // The first text of the buffer: the one full path, or the folder of several names.
    size_t firstEnd = 0;
    while (firstEnd < size && names[firstEnd]) ++firstEnd;
    if (firstEnd == size) return S_OK;  // no NUL anywhere: not a result of the dialog's
    // Several names stand after the folder's NUL; a single chosen file comes back as one full path, its name
    // offset pointing into it.
    if (!multiSelect || nameOffset <= firstEnd) return Append(names.data(), firstEnd);

    const std::wstring folder(names.data(), firstEnd);
    size_t at = nameOffset;
    while (at < size && names[at]) {
        size_t end = at;
        while (end < size && names[end]) ++end;
        if (end == size) break;  // a name without its NUL runs past the result: it is not one
        std::wstring path = folder;
        path += L'\\';
        path.append(names.data() + at, end - at);
        KORVANE_RETURN_IF_FAILED(Append(path));
        at = end + 1;
    }
    return S_OK;
}

STDMETHODIMP CFtpPartition::ShowDialog(VARIANT* var) {
    if (!var) return E_POINTER;
    VariantInit(var);
    return Guarded([&]() -> HRESULT {
        // The dialog's message loop may let the page change the settings or drop its reference meanwhile:
        // the call works on copies and holds the object.
        CComPtr<IUnknown> self(ComGetUnknown(this));
        const std::wstring filter = filter_;
        const std::wstring initDir = initDir_;
        const bool multiSelect = allowMultiSelect_ != 0;
        std::vector<wchar_t> names(kNameBufferLength, L'\0');

        OPENFILENAMEW dialog{};
        dialog.lStructSize = sizeof dialog;
        dialog.lpstrFilter = filter.c_str();  // its terminating NUL ends the list
        dialog.nFilterIndex = 1;
        dialog.lpstrFile = names.data();
        dialog.nMaxFile = kNameBufferLength;
        // No folder the dialog can open has a longer path; Wine's dialog crashes on a start folder of a few
        // thousand characters. Without one the dialog chooses its own.
        dialog.lpstrInitialDir = initDir.empty() || initDir.size() >= MAX_PATH ? nullptr : initDir.c_str();
        dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
        if (multiSelect) dialog.Flags |= OFN_ALLOWMULTISELECT;

        if (GetOpenFileNameW(&dialog) != 1) {
            SetBool(var, false);  // cancelled, or the dialog failed: nothing is appended
            return S_OK;
        }
        KORVANE_RETURN_IF_FAILED(AppendDialogResult(names, dialog.nFileOffset, multiSelect));
        SetBool(var, true);
        return S_OK;
    });
}

STDMETHODIMP CFtpPartition::ShowFolder(VARIANT* var) {
    if (!var) return E_POINTER;
    VariantInit(var);
    return Guarded([&]() -> HRESULT {
        CComPtr<IUnknown> self(ComGetUnknown(this));
        wchar_t displayName[MAX_PATH] = {};
        BROWSEINFOW browse{};
        browse.pszDisplayName = displayName;
        browse.lpszTitle = kFolderTitle;
        browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN;
        ItemList chosen(SHBrowseForFolderW(&browse));
        if (!chosen) {
            SetBool(var, false);
            return S_FALSE;
        }
        wchar_t path[MAX_PATH + 1] = {};
        const bool hasPath = SHGetPathFromIDListW(chosen.Get(), path) != FALSE;
        chosen.Reset();
        path[MAX_PATH] = L'\0';
        // An item outside the file system (a virtual folder) has no path: nothing is scanned. An empty path
        // would name the current drive's root.
        if (hasPath && path[0]) KORVANE_RETURN_IF_FAILED(ScanFolder(path));
        SetBool(var, true);
        return S_OK;
    });
}

HRESULT CFtpPartition::ScanFolder(const std::wstring& folder) {
    // One open search per folder on the way down; the deepest is searched first, so a subfolder's files
    // come before the entries of its parent that follow it. No recursion: any depth fits.
    struct Search {
        std::wstring folder;
        UniqueFindHandle find;
    };
    std::vector<Search> searches;
    WIN32_FIND_DATAW entry;
    // Starts searching a folder; entry then holds its first entry. False when it cannot be searched.
    auto enter = [&](std::wstring path) {
        UniqueFindHandle find(FindFirstFileW((path + L"\\*").c_str(), &entry));
        if (!find) return false;
        searches.push_back(Search{std::move(path), std::move(find)});
        return true;
    };

    bool haveEntry = enter(folder);
    while (!searches.empty()) {
        if (!haveEntry) {
            searches.pop_back();
            if (searches.empty()) break;
            haveEntry = FindNextFileW(searches.back().find.Get(), &entry) != FALSE;
            continue;
        }
        std::wstring path = searches.back().folder;
        path += L'\\';
        path += entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!IsDotEntry(entry.cFileName) && !IsFolderLink(entry) && enter(std::move(path))) continue;
        } else {
            KORVANE_RETURN_IF_FAILED(Append(path));
        }
        haveEntry = FindNextFileW(searches.back().find.Get(), &entry) != FALSE;
    }
    return S_OK;
}

STDMETHODIMP CFtpPartition::GetSelectedFiles(VARIANT* var) {
    if (!var) return E_POINTER;
    VariantInit(var);
    if (chosenFiles_.empty()) return S_OK;  // nothing chosen yet: VT_EMPTY
    if (static_cast<unsigned long long>(chosenFiles_.size()) > ULONG_MAX) return E_OUTOFMEMORY;
    // A copy the caller owns: later choices do not change it.
    CComSafeArray copy(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(chosenFiles_.size())));
    if (!copy.Get()) return E_OUTOFMEMORY;
    {
        CComSafeArrayData<VARIANT> elements(copy.Get());
        KORVANE_RETURN_IF_FAILED(elements.Result());
        for (size_t i = 0; i < chosenFiles_.size(); ++i) {
            BSTR path = chosenFiles_[i].Copy();
            if (!path) return E_OUTOFMEMORY;
            elements.Get()[i].vt = VT_BSTR;
            elements.Get()[i].bstrVal = path;
        }
    }
    var->vt = VT_ARRAY | VT_VARIANT;
    var->parray = copy.Detach();
    return S_OK;
}

STDMETHODIMP CFtpPartition::put_AllowMultiSelect(LONG newVal) {
    allowMultiSelect_ = newVal;
    return S_OK;
}

STDMETHODIMP CFtpPartition::put_FileFilter(BSTR newVal) {
    return Guarded([&]() -> HRESULT {
        filter_ = BuildFilterPattern(TextOf(newVal));
        return S_OK;
    });
}

STDMETHODIMP CFtpPartition::put_InitDir(BSTR newVal) {
    return Guarded([&]() -> HRESULT {
        initDir_ = TextOf(newVal);
        return S_OK;
    });
}

STDMETHODIMP CFtpPartition::get_Version(BSTR* val) {
    CComBSTR version(kVersion);
    if (!version) return E_OUTOFMEMORY;
    if (val) *val = version.Detach();
    return S_OK;
}

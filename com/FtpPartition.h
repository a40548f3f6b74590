// The picker a page creates as Tamsic.FtpPartition (Tamsic.FtpPartition64 in the 64-bit build): it lets the
// user choose files with the file-open dialog (ShowDialog), or a folder whose files, with those of all its
// subfolders, are gathered (ShowFolder), and keeps the full path of everything chosen in one list that only
// grows; the page reads a copy of it with GetSelectedFiles.
//
// Both dialogs run a modal message loop on the page's thread, so the page's script may call the object again
// before a dialog returns: each member works on copies of the settings it reads and appends to the list only
// after its dialog is gone.
#pragma once

#include <windows.h>

#include <objsafe.h>

#include <string>
#include <vector>

#include "classlib/ComConnectionPoint.h"
#include "classlib/ComDispatch.h"
#include "classlib/ComObject.h"
#include "classlib/ComSite.h"
#include "classlib/Owners.h"
#include "com/Korvane_i.h"
#include "com/resource.h"

// The connection point of _IFtpPartitionEvents, a dispinterface without members: nothing is ever raised.
template <class T>
class CProxy_IFtpPartitionEvents
    : public IConnectionPointImpl<T, &DIID__IFtpPartitionEvents, CComDynamicUnkArray> {};

class CFtpPartition : public CComObjectRootEx<CComSingleThreadModel>,
                      public CComCoClass<CFtpPartition, &CLSID_FtpPartition>,
                      public ISupportErrorInfo,
                      public IConnectionPointContainerImpl<CFtpPartition>,
                      public CProxy_IFtpPartitionEvents<CFtpPartition>,
                      public IObjectWithSiteImpl<CFtpPartition>,
                      public IDispatchImpl<IFtpPartition, &IID_IFtpPartition, &LIBID_DovrinLib, 1, 0>,
                      public IObjectSafetyImpl<CFtpPartition, INTERFACESAFE_FOR_UNTRUSTED_CALLER> {
public:
    // The file-open dialog's name buffer, in characters.
    static constexpr DWORD kNameBufferLength = 40960;

    CFtpPartition();

    static HRESULT UpdateRegistry(bool registering);
    static const ComInterfaceEntry* GetInterfaceTable();
    static const ConnectionPointEntry* GetConnectionPointTable();

    // The page's comma list of extensions ("jpg,png") as a filter list of one entry: the text itself as the
    // description, "*.jpg;*.png" as the pattern, each ended by a NUL (the text's own ends the list).
    static std::wstring BuildFilterPattern(const std::wstring& extensions);

    // ISupportErrorInfo
    STDMETHOD(InterfaceSupportsErrorInfo)(REFIID iid) override;

    // IFtpPartition, in vtable order
    STDMETHOD(ShowDialog)(VARIANT* var) override;
    STDMETHOD(GetSelectedFiles)(VARIANT* var) override;
    STDMETHOD(ShowFolder)(VARIANT* var) override;
    STDMETHOD(put_AllowMultiSelect)(LONG newVal) override;
    STDMETHOD(put_FileFilter)(BSTR newVal) override;
    STDMETHOD(put_InitDir)(BSTR newVal) override;
    STDMETHOD(get_Version)(BSTR* val) override;

private:
    // Appends every file below folder, depth first: a subfolder's files stand where the subfolder was met.
    // E_OUTOFMEMORY when the list cannot grow; the paths appended before stay.
    HRESULT ScanFolder(const std::wstring& folder);
    // Appends one path to the chosen files; E_OUTOFMEMORY when it cannot.
    HRESULT Append(const wchar_t* path, size_t length);
    HRESULT Append(const std::wstring& path) { return Append(path.c_str(), path.size()); }
    // What the file-open dialog returned in names, appended: one path, or a folder followed by names.
    HRESULT AppendDialogResult(const std::vector<wchar_t>& names, WORD nameOffset, bool multiSelect);

    LONG allowMultiSelect_ = 1;
    std::wstring
        filter_;  // pairs of description and pattern, each ended by a NUL; the terminator ends the list
    std::wstring initDir_;
    std::vector<CComBSTR> chosenFiles_;  // in the order of choosing
};

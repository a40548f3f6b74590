// The drop-area control a page embeds as Tamsic.FtpDroper (Tamsic.FtpDroper64 in the 64-bit build): a
// framed window with a centred prompt that collects the full paths of files dropped on it from the shell
// (folders and drive roots left out) and calls the page's OnFileDrop function after each drop; the page
// reads the paths with GetSelectedFiles.
//
// Drops reach it through its drop-target part, registered for the control window (RegisterDragDrop) as soon
// as the window exists and revoked before the window goes and in Close. IDropTarget itself is not in the
// control's interface table. While registered, the platform holds a reference to the control.
#pragma once

#include <windows.h>

#include <dispex.h>

#include "classlib/ComConnectionPoint.h"
#include "classlib/ComControl.h"
#include "classlib/ComDispatch.h"
#include "classlib/ComObject.h"
#include "classlib/ComOleObject.h"
#include "classlib/ComPersist.h"
#include "classlib/ComSite.h"
#include "classlib/ComViewObject.h"
#include "classlib/Owners.h"
#include "com/DropTarget.h"
#include "com/Korvane_i.h"
#include "com/resource.h"

// The connection point of _IFtpDroperEvents, a dispinterface without members: nothing is ever raised.
template <class T>
class CProxy_IFtpDroperEvents : public IConnectionPointImpl<T, &DIID__IFtpDroperEvents, CComDynamicUnkArray> {
};

class CFtpDroper : public CComObjectRootEx<CComSingleThreadModel>,
                   public IDispatchImpl<IFtpDroper, &IID_IFtpDroper, &LIBID_DovrinLib, 1, 0>,
                   public IPersistStreamInitImpl<CFtpDroper>,
                   public IOleControlImpl<CFtpDroper>,
                   public IOleObjectImpl<CFtpDroper>,
                   public IOleInPlaceActiveObjectImpl<CFtpDroper>,
                   public IViewObjectExImpl<CFtpDroper>,
                   public IOleInPlaceObjectWindowlessImpl<CFtpDroper>,
                   public IConnectionPointContainerImpl<CFtpDroper>,
                   public CProxy_IFtpDroperEvents<CFtpDroper>,
                   public IObjectWithSiteImpl<CFtpDroper>,
                   public CComCoClass<CFtpDroper, &CLSID_FtpDroper>,
                   public CComControl<CFtpDroper>,
                   public CIDropTargetImpl {
public:
    // The prompt drawn in the middle of the area.
    static constexpr const wchar_t* kPrompt = L"将文件拖拽至此区域";

    CFtpDroper();
    ~CFtpDroper() override;

    static HRESULT UpdateRegistry(bool registering);
    static const ComInterfaceEntry* GetInterfaceTable();
    static const ConnectionPointEntry* GetConnectionPointTable();
    static const PersistPropertyEntry* GetPropertyMap();

    // IFtpDroper
    STDMETHOD(put_OnFileDrop)(IDispatchEx* function) override;
    STDMETHOD(GetSelectedFiles)(VARIANT* var) override;

    // The frame along the bounds and the prompt centred on them, with the device context's own pen, brush
    // and font.
    HRESULT OnDraw(ControlDrawInfo& drawInfo) override;
    // Replaces the list by the dropped files (folders and drive roots left out) and calls OnFileDrop. A drop
    // without names changes nothing. Out of memory part-way: the names appended so far stay, nothing is
    // called, and E_OUTOFMEMORY is returned.
    HRESULT OnDropFiles(HDROP drop) override;

protected:
    void OnControlWindowCreated() override;
    void OnControlWindowGoing() override;

private:
    CComPtr<IDispatchEx> onFileDrop_;
    CLockedVariantArray droppedFiles_;
    UniqueDropTargetRegistration dropTargetWindow_;  // the window the drop-target part is registered for
};

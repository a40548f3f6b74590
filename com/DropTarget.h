// The drop target of the drop-area control: an IDropTarget that accepts only file lists (CF_HDROP in global
// memory) and hands a dropped list to OnDropFiles. By itself it is a COM object with its own reference
// count; inside a control its IUnknown members are the control's, so references to it count on the control.
#pragma once

#include <windows.h>

#include <oleidl.h>
#include <shellapi.h>

class CIDropTargetImpl : public IDropTarget {
public:
    CIDropTargetImpl() = default;
    CIDropTargetImpl(const CIDropTargetImpl&) = delete;
    CIDropTargetImpl& operator=(const CIDropTargetImpl&) = delete;

    // IUnknown, for the drop target on its own.
    STDMETHOD(QueryInterface)(REFIID iid, void** out) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;

    // IDropTarget. DragEnter and DragOver answer the effect of the key-state rule for a file list and none
    // for anything else; Drop answers DROPEFFECT_COPY when the source allows it and none otherwise: the
    // dropped files are only read, and a move answer would tell the source to delete them.
    STDMETHOD(DragEnter)(IDataObject* data, DWORD keyState, POINTL point, DWORD* effect) override;
    STDMETHOD(DragOver)(DWORD keyState, POINTL point, DWORD* effect) override;
    STDMETHOD(DragLeave)() override;
    STDMETHOD(Drop)(IDataObject* data, DWORD keyState, POINTL point, DWORD* effect) override;

    virtual ~CIDropTargetImpl() = default;

    // The dropped list; what it returns is what Drop returns when it fails. The default does nothing.
    virtual HRESULT OnDropFiles(HDROP drop) { return S_OK; }

    // The effect offered for a file list: copy with Ctrl, move with Shift, else move or copy as allowed.
    static DWORD ChooseEffect(DWORD keyState, DWORD allowed);

protected:
    void EnableDropTarget(bool enabled) { enabled_ = enabled; }

private:
    volatile LONG ownReferences_ = 0;
    bool accepted_ = false;
    bool enabled_ = false;
};

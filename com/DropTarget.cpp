#include "com/DropTarget.h"

#include "classlib/Owners.h"

namespace {

// The one format asked for and fetched: a file list in global memory.
FORMATETC FileListFormat() { return FORMATETC{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL}; }

}  // namespace

HRESULT CIDropTargetImpl::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!InlineIsEqualGUID(iid, IID_IUnknown) && !InlineIsEqualGUID(iid, IID_IDropTarget))
        return E_NOINTERFACE;
    *out = static_cast<IDropTarget*>(this);
    AddRef();
    return S_OK;
}

ULONG CIDropTargetImpl::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&ownReferences_)); }

ULONG CIDropTargetImpl::Release() {
    const LONG count = InterlockedDecrement(&ownReferences_);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

DWORD CIDropTargetImpl::ChooseEffect(DWORD keyState, DWORD allowed) {
    DWORD candidate = DROPEFFECT_NONE;
    if (keyState & MK_CONTROL) {
        candidate = allowed & DROPEFFECT_COPY;
    } else if (keyState & MK_SHIFT) {
        candidate = allowed & DROPEFFECT_MOVE;
    }
    if (candidate != DROPEFFECT_NONE) return candidate;
    if (allowed & DROPEFFECT_MOVE) return DROPEFFECT_MOVE;
    if (allowed & DROPEFFECT_COPY) return DROPEFFECT_COPY;
    return DROPEFFECT_NONE;
}

HRESULT CIDropTargetImpl::DragEnter(IDataObject* data, DWORD keyState, POINTL, DWORD* effect) {
    if (!effect) return E_INVALIDARG;
    accepted_ = false;
    if (!enabled_) {
        *effect = DROPEFFECT_NONE;
        return S_OK;
    }
    FORMATETC format = FileListFormat();
    accepted_ = data && data->QueryGetData(&format) == S_OK;
    *effect = accepted_ ? ChooseEffect(keyState, *effect) : DROPEFFECT_NONE;
    return S_OK;
}

HRESULT CIDropTargetImpl::DragOver(DWORD keyState, POINTL, DWORD* effect) {
    if (!effect) return E_INVALIDARG;
    *effect = accepted_ ? ChooseEffect(keyState, *effect) : DROPEFFECT_NONE;
    return S_OK;
}

HRESULT CIDropTargetImpl::DragLeave() { return S_OK; }

HRESULT CIDropTargetImpl::Drop(IDataObject* data, DWORD, POINTL, DWORD* effect) {
    if (!effect) return E_INVALIDARG;
    const DWORD allowed = *effect;
    *effect = DROPEFFECT_NONE;
    if (!accepted_ || !data) return S_FALSE;
    FORMATETC format = FileListFormat();
    CStgMedium medium;
    if (data->GetData(&format, &medium) != S_OK) return S_OK;
    if (medium.tymed != TYMED_HGLOBAL || !medium.hGlobal) return S_OK;
    HRESULT hr;
    {
        CGlobalLock hold(medium.hGlobal);
        hr = OnDropFiles(static_cast<HDROP>(medium.hGlobal));
    }
    if (FAILED(hr)) return hr;
    *effect = allowed & DROPEFFECT_COPY;
    return S_OK;
}

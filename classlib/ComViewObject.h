// The standard view implementation of a control T (a CComControl<T>): IViewObjectEx with IViewObject2 and
// IViewObject. Draw hands the device context and the bounds to T's OnDraw; the extents are the control's.
#pragma once

#include <windows.h>

#include <ocidl.h>
#include <oleidl.h>

#include "classlib/ComControl.h"

template <class T>
class IViewObjectExImpl : public IViewObjectEx {
public:
    // IViewObject
    STDMETHOD(Draw)
    (DWORD aspect, LONG index, void*, DVTARGETDEVICE*, HDC, HDC hdcDraw, LPCRECTL bounds, LPCRECTL,
     BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) override {
        if (!hdcDraw) return E_INVALIDARG;
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        T* control = static_cast<T*>(this);
        RECTL where{};
        if (bounds) {
            where = *bounds;
        } else if (control->m_bInPlaceActive) {
            const RECT& position = control->m_rcPos;
            where = RECTL{position.left, position.top, position.right, position.bottom};
        } else {
            return E_INVALIDARG;
        }
        ControlDrawInfo drawInfo{aspect, index, hdcDraw, &where};
        return control->OnDraw(drawInfo);
    }
    STDMETHOD(GetColorSet)(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    STDMETHOD(Freeze)(DWORD, LONG, void*, DWORD*) override { return E_NOTIMPL; }
    STDMETHOD(Unfreeze)(DWORD) override { return E_NOTIMPL; }
    STDMETHOD(SetAdvise)(DWORD aspects, DWORD flags, IAdviseSink* sink) override {
        T* control = static_cast<T*>(this);
        control->m_spAdviseSink = sink;
        control->m_adviseAspects = aspects;
        control->m_adviseFlags = flags;
        return S_OK;
    }
    STDMETHOD(GetAdvise)(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override {
        T* control = static_cast<T*>(this);
        if (aspects) *aspects = control->m_adviseAspects;
        if (flags) *flags = control->m_adviseFlags;
        if (sink) control->m_spAdviseSink.CopyTo(sink);
        return S_OK;
    }
    // IViewObject2
    STDMETHOD(GetExtent)(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) override {
        if (!size) return E_POINTER;
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        *size = static_cast<T*>(this)->m_sizeExtent;
        return S_OK;
    }
    // IViewObjectEx: one opaque rectangle that is hit wherever it is.
    STDMETHOD(GetRect)(DWORD aspect, LPRECTL rect) override {
        if (!rect) return E_POINTER;
        return aspect == DVASPECT_CONTENT ? E_NOTIMPL : DV_E_DVASPECT;
    }
    STDMETHOD(GetViewStatus)(DWORD* status) override {
        if (!status) return E_POINTER;
        *status = VIEWSTATUS_SOLIDBKGND | VIEWSTATUS_OPAQUE;
        return S_OK;
    }
    STDMETHOD(QueryHitPoint)(DWORD aspect, LPCRECT bounds, POINT point, LONG, DWORD* result) override {
        if (!bounds || !result) return E_POINTER;
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        *result = PtInRect(bounds, point) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
        return S_OK;
    }
    STDMETHOD(QueryHitRect)(DWORD aspect, LPCRECT bounds, LPCRECT location, LONG, DWORD* result) override {
        if (!bounds || !location || !result) return E_POINTER;
        if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
        RECT overlap{};
        *result = IntersectRect(&overlap, bounds, location) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
        return S_OK;
    }
    STDMETHOD(GetNaturalExtent)
    (DWORD aspect, LONG, DVTARGETDEVICE*, HDC, DVEXTENTINFO* info, LPSIZEL size) override {
        if (!info || !size) return E_POINTER;
        if (aspect != DVASPECT_CONTENT || info->dwExtentMode != DVEXTENT_CONTENT) return E_FAIL;
        *size = static_cast<T*>(this)->m_sizeNatural;
        return S_OK;
    }
};

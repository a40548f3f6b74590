#include "classlib/ComDispatch.h"

#include <oleauto.h>

#include "classlib/ComModule.h"
#include "classlib/Owners.h"

HRESULT CComTypeInfoHolder::GetTI(LCID lcid, ITypeInfo** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!info_) {
        CAtlModule* module = CAtlModule::Get();
        if (!module) return E_UNEXPECTED;
        ScopedLock hold(module->GetCriticalSection());
        if (!info_) {
            CComPtr<ITypeLib> library;
            HRESULT hr = LoadRegTypeLib(*libid_, major_, minor_, lcid, &library);
            // The library is language-neutral (locale 0); a caller's locale the platform cannot map back to
            // neutral must not make dispatch fail.
            if (FAILED(hr) && lcid != 0) hr = LoadRegTypeLib(*libid_, major_, minor_, 0, &library);
            if (FAILED(hr)) return hr;
            CComPtr<ITypeInfo> info;
            KORVANE_RETURN_IF_FAILED(library->GetTypeInfoOfGuid(*iid_, &info));
            if (FAILED(module->AddTermFunc(&CComTypeInfoHolder::Cleanup, this))) return E_OUTOFMEMORY;
            info_ = info.Detach();
        }
    }
    info_->AddRef();
    *out = info_;
    return S_OK;
}

HRESULT CComTypeInfoHolder::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return GetTI(lcid, out);
}

HRESULT CComTypeInfoHolder::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) {
    if (!InlineIsEqualGUID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    CComPtr<ITypeInfo> info;
    KORVANE_RETURN_IF_FAILED(GetTI(lcid, &info));
    return DispGetIDsOfNames(info, names, count, ids);
}

HRESULT CComTypeInfoHolder::Invoke(IDispatch* object, DISPID id, REFIID iid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                   UINT* argumentError) {
    if (!InlineIsEqualGUID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    CComPtr<ITypeInfo> info;
    KORVANE_RETURN_IF_FAILED(GetTI(lcid, &info));
    return DispInvoke(object, info, id, flags, params, result, exception, argumentError);
}

void CComTypeInfoHolder::Cleanup(void* holder) {
    ReleaseAndClear(static_cast<CComTypeInfoHolder*>(holder)->info_);
}

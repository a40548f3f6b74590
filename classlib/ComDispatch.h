// Dispatch through the registered type information: IDispatch of a dual interface answered from the type
// library found in the registry (LIBID and version), loaded on first use and kept until the module unloads.
// No dispatch tables by hand: names, DISPIDs and argument conversion all come from the type information.
#pragma once

#include <windows.h>

#include <oaidl.h>

class CComTypeInfoHolder {
public:
    constexpr CComTypeInfoHolder(const IID* iid, const GUID* libid, WORD major, WORD minor)
        : iid_(iid), libid_(libid), major_(major), minor_(minor) {}

    HRESULT GetTI(LCID lcid, ITypeInfo** out);
    HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** out);
    HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids);
    HRESULT Invoke(IDispatch* object, DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* exception, UINT* argumentError);

private:
    static void Cleanup(void* holder);

    const IID* iid_;
    const GUID* libid_;
    WORD major_;
    WORD minor_;
    ITypeInfo* info_ = nullptr;
};

template <class T, const IID* piid, const GUID* plibid, WORD major = 1, WORD minor = 0>
class IDispatchImpl : public T {
public:
    STDMETHOD(GetTypeInfoCount)(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHOD(GetTypeInfo)(UINT index, LCID lcid, ITypeInfo** out) override {
        return typeInfo_.GetTypeInfo(index, lcid, out);
    }
    STDMETHOD(GetIDsOfNames)(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
        return typeInfo_.GetIDsOfNames(iid, names, count, lcid, ids);
    }
    STDMETHOD(Invoke)
    (DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
     UINT* argumentError) override {
        return typeInfo_.Invoke(static_cast<T*>(this), id, iid, lcid, flags, params, result, exception,
                                argumentError);
    }

private:
    static inline CComTypeInfoHolder typeInfo_{piid, plibid, major, minor};
};

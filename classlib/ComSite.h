// What a scriptable object tells its host: the site it was placed in (IObjectWithSite) and which safety
// options it supports for the interfaces it answers (IObjectSafety).
#pragma once

#include <windows.h>

#include <objsafe.h>
#include <ocidl.h>

#include "classlib/ComObject.h"
#include "classlib/Owners.h"

template <class T>
class IObjectWithSiteImpl : public IObjectWithSite {
public:
    // Keeps a counted reference to the new site and drops the old one; null clears it.
    STDMETHOD(SetSite)(IUnknown* site) override {
        site_ = site;
        return S_OK;
    }
    STDMETHOD(GetSite)(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!site_) return E_FAIL;
        return site_->QueryInterface(iid, out);
    }

protected:
    CComPtr<IUnknown> site_;
};

// Supports exactly the options in supportedSafety; none are enabled at first.
template <class T, DWORD supportedSafety>
class IObjectSafetyImpl : public IObjectSafety {
public:
    STDMETHOD(GetInterfaceSafetyOptions)(REFIID iid, DWORD* supported, DWORD* enabled) override {
        if (!supported || !enabled) return E_POINTER;
        CComPtr<IUnknown> answered;
        const HRESULT hr = ComQueryInterface(static_cast<T*>(this), iid, answered.ReceiveVoid());
        if (FAILED(hr)) {
            *supported = 0;
            *enabled = 0;
            return hr;
        }
        *supported = supportedSafety;
        *enabled = currentSafety_;
        return S_OK;
    }
    STDMETHOD(SetInterfaceSafetyOptions)(REFIID iid, DWORD mask, DWORD enabled) override {
        CComPtr<IUnknown> answered;
        if (FAILED(ComQueryInterface(static_cast<T*>(this), iid, answered.ReceiveVoid())))
            return E_NOINTERFACE;
        if (mask & ~supportedSafety) return E_FAIL;
        currentSafety_ = (mask & enabled) | (~mask & currentSafety_);
        return S_OK;
    }

protected:
    DWORD currentSafety_ = 0;
};

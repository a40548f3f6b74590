// The controlling object of an aggregate (or a plain site), on the test's stack: it counts its references,
// answers IUnknown itself and hands every other request to the inner object it holds (without a reference).
#pragma once

#include <windows.h>

#include <unknwn.h>

namespace testcommon {

class ControllingOuter : public IUnknown {
public:
    IUnknown* inner = nullptr;
    LONG references = 1;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (InlineIsEqualGUID(iid, IID_IUnknown)) {
            *out = this;
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(iid, out) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references); }
};

}  // namespace testcommon

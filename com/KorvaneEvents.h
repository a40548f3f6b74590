// The connection point of _IKorvaneEvents and its raise: one Fire_ member per event, calling every advised
// sink through IDispatch::Invoke with the event's DISPID (the IDL's, through the interface header).
#pragma once

#include <oleauto.h>
#include <windows.h>

#include "classlib/ComConnectionPoint.h"
#include "classlib/Owners.h"
#include "com/Korvane_i.h"

template <class T>
class CProxy_IKorvaneEvents : public IConnectionPointImpl<T, &DIID__IKorvaneEvents, CComDynamicUnkArray> {
public:
    HRESULT Fire_PostComplete(ULONG taskID) {
        return Raise(DISPID_KORVANE_POST_COMPLETE, 1,
                     [&](VARIANT* arguments) { SetUnsigned(arguments[0], taskID); });
    }
    HRESULT Fire_PostError(ULONG taskID, ULONG errCode) {
        return Raise(DISPID_KORVANE_POST_ERROR, 2, [&](VARIANT* arguments) {
            SetUnsigned(arguments[1], taskID);
            SetUnsigned(arguments[0], errCode);
        });
    }
    HRESULT Fire_PostProcess(ULONG taskID, BSTR speed, BSTR postedLen, BSTR percent, BSTR time) {
        return Raise(DISPID_KORVANE_POST_PROCESS, 5, [&](VARIANT* arguments) {
            SetUnsigned(arguments[4], taskID);
            SetText(arguments[3], speed);
            SetText(arguments[2], postedLen);
            SetText(arguments[1], percent);
            SetText(arguments[0], time);
        });
    }
    HRESULT Fire_PostConnected(ULONG taskID) {
        return Raise(DISPID_KORVANE_POST_CONNECTED, 1,
                     [&](VARIANT* arguments) { SetUnsigned(arguments[0], taskID); });
    }
    HRESULT Fire_PostStateChanged(ULONG taskID, LONG state) {
        return Raise(DISPID_KORVANE_POST_STATE_CHANGED, 2, [&](VARIANT* arguments) {
            SetUnsigned(arguments[1], taskID);
            arguments[0].vt = VT_I4;
            arguments[0].lVal = state;
        });
    }

private:
    static constexpr UINT kMaxArguments = 5;

    static void SetUnsigned(VARIANT& argument, ULONG value) {
        argument.vt = VT_UI4;
        argument.ulVal = value;
    }
    // Each sink gets copies of its own; the caller's texts stay the caller's.
    static void SetText(VARIANT& argument, BSTR text) {
        argument.vt = VT_BSTR;
        argument.bstrVal = SysAllocString(text);
    }

    // fill puts the arguments in reverse order (element 0 holds the last one), afresh for every sink. Every
    // sink is called whatever the one before answered; the result is the last sink's, or S_OK without sinks.
    template <class Fill>
    HRESULT Raise(DISPID id, UINT count, Fill fill) {
        HRESULT result = S_OK;
        const int slots = this->sinks_.GetSize();
        for (int i = 0; i < slots; ++i) {
            CComPtr<IUnknown> sink(this->sinks_.GetAt(i));
            if (!sink) continue;
            // Cleared when this sink's call is over.
            CComVariant arguments[kMaxArguments];
            fill(static_cast<VARIANT*>(arguments));
            DISPPARAMS params = {arguments, nullptr, count, 0};
            CComVariant ignored;
            // The pointer the sink gave for the dispinterface: an IDispatch.
            result = static_cast<IDispatch*>(sink.Get())
                         ->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &ignored,
                                  nullptr, nullptr);
        }
        return result;
    }
};

// What an object marked safe for scripting answers through IObjectSafety: for IDispatch it offers safety for
// untrusted callers with nothing enabled at first, it refuses to be made safe for untrusted data, and it
// takes safety for untrusted callers on the interface a page scripts it through.
#pragma once

#include <windows.h>

#include <objsafe.h>

#include <gtest/gtest.h>

namespace testcommon {

inline void ExpectSafeForUntrustedCallersOnly(IObjectSafety* safety, REFIID scripted) {
    DWORD supported = 99, enabled = 99;
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER));
    EXPECT_EQ(enabled, 0u);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_DATA,
                                                INTERFACESAFE_FOR_UNTRUSTED_DATA),
              E_FAIL);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(scripted, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                INTERFACESAFE_FOR_UNTRUSTED_CALLER),
              S_OK);
}

}  // namespace testcommon

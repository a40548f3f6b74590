// What an object marked safe for scripting answers through IObjectSafety: for IDispatch it offers safety for
// untrusted callers with nothing enabled at first, it refuses to be made safe for untrusted data, and it
// takes safety for untrusted callers on the interface a page scripts it through. For an interface it does not
// have it offers nothing, enables nothing and takes nothing.
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

    // None of the scriptable objects is a storage.
    supported = 99;
    enabled = 99;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IStorage, &supported, &enabled), E_NOINTERFACE);
    EXPECT_EQ(supported, 0u);
    EXPECT_EQ(enabled, 0u);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IStorage, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                                INTERFACESAFE_FOR_UNTRUSTED_CALLER),
              E_NOINTERFACE);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IStorage, 0, 0), E_NOINTERFACE);
    // What the interface it is scripted through has enabled stays.
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(scripted, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, static_cast<DWORD>(INTERFACESAFE_FOR_UNTRUSTED_CALLER));
}

}  // namespace testcommon

// What an object made as the inner object of an aggregate answers: the interface asked of it counts its
// references on the controlling object and gives the controlling object as its identity, and once the test
// lets go of it and of the inner object, nothing of the controlling object is held.
#pragma once

#include <windows.h>

#include <unknwn.h>

#include <functional>

#include <gtest/gtest.h>

#include "common/ControllingOuter.h"

namespace testcommon {

// Creates clsid inside a controlling object, asks the inner object for iid and hands that interface to use.
inline void ExpectAggregatesUnderItsOuter(REFCLSID clsid, REFIID iid,
                                          const std::function<void(IUnknown*)>& use = nullptr) {
    ControllingOuter outer;
    IUnknown* inner = nullptr;
    ASSERT_EQ(
        CoCreateInstance(clsid, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&inner)),
        S_OK);
    outer.inner = inner;
    const LONG before = outer.references;
    IUnknown* aggregated = nullptr;
    EXPECT_EQ(inner->QueryInterface(iid, reinterpret_cast<void**>(&aggregated)), S_OK);
    if (aggregated) {
        EXPECT_EQ(outer.references, before + 1);
        IUnknown* identity = nullptr;
        EXPECT_EQ(aggregated->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
        EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
        if (identity) identity->Release();
        if (use) use(aggregated);
        aggregated->Release();
        EXPECT_EQ(outer.references, before);
    }
    outer.inner = nullptr;
    inner->Release();
    EXPECT_EQ(outer.references, 1) << "the freed aggregate holds nothing of the controlling object";
}

}  // namespace testcommon

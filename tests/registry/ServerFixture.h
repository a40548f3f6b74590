// The server DLL loaded by path (KORVANE_DLL, set by the test's CTest entry), the build's identifiers, and a
// fixture that enters a single-threaded apartment for each test, as a page's thread does.
#pragma once

#include <windows.h>

#include <objbase.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "com/Korvane_i.h"

struct ServerDll {
    HMODULE module = nullptr;
    HRESULT(WINAPI* DllGetClassObject)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(WINAPI* DllCanUnloadNow)() = nullptr;

    // Loads it on first use; the test fails when it cannot.
    static ServerDll& Get();
    std::wstring Path() const;
};

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    ServerDll& dll() { return ServerDll::Get(); }
    // A new upload object through the DLL's class factory, asked for iid.
    template <class I>
    HRESULT Create(REFIID iid, I** out, IUnknown* outer = nullptr) {
        return CreateObject(outer, iid, reinterpret_cast<void**>(out));
    }
    HRESULT CreateObject(IUnknown* outer, REFIID iid, void** out);

private:
    bool comEntered_ = false;
};

// Text of an HRESULT for failure messages.
std::string HresultText(HRESULT hr);

// A pointer value no call may leave in an out-parameter it was meant to clear.
inline void* Garbage() { return reinterpret_cast<void*>(static_cast<uintptr_t>(0xDEADBEEF)); }

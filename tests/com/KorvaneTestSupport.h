// What the upload object's tests share: a page-like thread (a single-threaded apartment that pumps messages),
// the object created through COM from the registered DLL, recorders for the connection-point events and the
// script functions that note what they got and on which thread, a recorder of the DLL's message boxes, and
// local test files.
#pragma once

#include <winsock2.h>

#include <windows.h>

#include <dispex.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "classlib/Owners.h"
#include "com/Korvane_i.h"
#include "common/MessageBoxRecorder.h"
#include "common/TestFiles.h"

namespace korvanetest {

// One argument as a recorder saw it: its VARIANT type and its value as text (or the pointer).
struct Argument {
    VARTYPE type = VT_EMPTY;
    std::wstring text;
    IUnknown* pointer = nullptr;  // for VT_DISPATCH: the identity, not referenced
    LONGLONG number = 0;
};

// One call a recorder received. sequence orders calls across all recorders.
struct Call {
    int sequence = 0;
    DISPID dispid = 0;
    LCID lcid = 0;
    WORD flags = 0;
    DWORD thread = 0;
    DWORD tick = 0;
    std::vector<Argument> arguments;  // first argument first
};

int NextSequence();

// Counts its references so tests can see who holds it.
class CountedDispatch : public IDispatchEx {
public:
    CountedDispatch() = default;
    virtual ~CountedDispatch() = default;
    LONG References() const { return references_; }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
    ULONG STDMETHODCALLTYPE Release() override;
    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO*, UINT*) override;
    // IDispatchEx
    HRESULT STDMETHODCALLTYPE GetDispID(BSTR, DWORD, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE InvokeEx(DISPID id, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                                       EXCEPINFO*, IServiceProvider*) override;
    HRESULT STDMETHODCALLTYPE DeleteMemberByName(BSTR, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeleteMemberByDispID(DISPID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMemberProperties(DISPID, DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMemberName(DISPID, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetNextDispID(DWORD, DISPID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetNameSpaceParent(IUnknown**) override { return E_NOTIMPL; }

protected:
    // What a call does; the default records nothing.
    virtual HRESULT OnCall(bool invokeEx, DISPID id, LCID lcid, WORD flags, DISPPARAMS* params) {
        return S_OK;
    }
    // The interface QueryInterface answers besides IUnknown, IDispatch and IDispatchEx.
    virtual bool Answers(REFIID iid) const { return false; }

private:
    LONG references_ = 1;
};

// A script function as the object sees it: every InvokeEx is recorded. A call through plain IDispatch::Invoke
// is a fault (the object must call script functions with InvokeEx) and fails the test.
class FunctionRecorder : public CountedDispatch {
public:
    std::vector<Call> calls;
    // Runs inside each call, after it was recorded (e.g. to read the object's properties at that moment).
    std::function<void(const Call&)> onCall;

protected:
    HRESULT OnCall(bool invokeEx, DISPID id, LCID lcid, WORD flags, DISPPARAMS* params) override;
};

// A sink of _IKorvaneEvents: every event is recorded; a DISPID the interface does not have fails the test.
class EventRecorder : public CountedDispatch {
public:
    std::vector<Call> events;
    std::function<void(const Call&)> onEvent;

    std::vector<Call> Named(DISPID id) const;

protected:
    HRESULT OnCall(bool invokeEx, DISPID id, LCID lcid, WORD flags, DISPPARAMS* params) override;
    bool Answers(REFIID iid) const override { return InlineIsEqualGUID(iid, DIID__IKorvaneEvents) != 0; }
};

// _IKorvaneEvents DISPIDs, from the interface header (the type library's own are checked in its tests).
enum : DISPID {
    kPostComplete = DISPID_KORVANE_POST_COMPLETE,
    kPostError = DISPID_KORVANE_POST_ERROR,
    kPostProcess = DISPID_KORVANE_POST_PROCESS,
    kPostConnected = DISPID_KORVANE_POST_CONNECTED,
    kPostStateChanged = DISPID_KORVANE_POST_STATE_CHANGED
};

// Advises a sink on the object's connection point for the life of this value.
class Advise {
public:
    Advise(IUnknown* object, IUnknown* sink);
    ~Advise();
    Advise(const Advise&) = delete;
    Advise& operator=(const Advise&) = delete;
    HRESULT Result() const { return result_; }
    // Lets go of the connection point without unadvising: the sink stays advised as long as the object lives.
    void Abandon() { point_.Release(); }

private:
    CComPtr<IConnectionPoint> point_;
    DWORD cookie_ = 0;
    HRESULT result_ = E_FAIL;
};

// Records every MessageBoxW the server DLL shows, by patching the DLL's import of it; the box is not shown.
class MessageBoxRecorder : public testcommon::MessageBoxRecorder {
public:
    MessageBoxRecorder();
};

// The test thread as a page's thread: a single-threaded apartment, COM entered for each test.
class PageThreadTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A new upload object created by its CLSID from the registered server.
    CComPtr<IKorvane> CreateKorvane();
    // Dispatches window messages (and so incoming COM calls) for that long.
    static void Pump(DWORD milliseconds);
    // Pumps until done() holds or the time is up; true when it holds.
    static bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);
    // Pumps until the server DLL may unload; true when it may. A worker's proxy of the object (the DLL's
    // own) goes only after its last call has been answered, which can be a moment after the object has gone.
    static bool WaitUntilServerCanUnload(DWORD timeoutMs = 5000);

    // A folder of this test's own under Z:\tmp, removed with its files afterwards.
    std::wstring TestFolder();
    // A file of that folder with size bytes of a fixed pattern; its Windows path.
    std::wstring MakeFile(const std::wstring& name, int64_t size);
    // A sparse file of that size (reads as zeroes, costs no disk).
    std::wstring MakeSparseFile(const std::wstring& name, int64_t size);
    // The Unix path of a Z: path, for the FTP lab.
    static std::string UnixPath(const std::wstring& windowsPath);

    DWORD pageThread_ = 0;

private:
    std::unique_ptr<testfiles::TempFolder> folder_;
};

// The server DLL as loaded in this process (null before the first object), the same after loading it through
// COM when needed, and its DllCanUnloadNow.
HMODULE ServerModule();
HMODULE LoadServerModule();
HRESULT ServerCanUnloadNow();
// Registers a proxy/stub class that does not exist for IKorvane in this apartment: the object's interface can
// no longer be marshalled, so its Global Interface Table entry cannot be made and every fetch fails.
HRESULT BreakKorvaneMarshalling();

// Calls the object makes on the page's thread only.
void ExpectOnThread(const std::vector<Call>& calls, DWORD thread, const char* what);

// The MD5 of a file (CryptoAPI), the CRC-32 of a file (bitwise, as zlib computes it), both as the object
// shows them: lower-case hex and unsigned decimal.
std::wstring FileMd5(const std::wstring& path);
std::wstring FileCrc32(const std::wstring& path);

std::wstring Bstr(BSTR text);
std::wstring GetText(IKorvane* korvane, HRESULT (STDMETHODCALLTYPE IKorvane::*getter)(BSTR*));
UINT GetErrorCode(IKorvane* korvane);
LONG GetMd5Percent(IKorvane* korvane);
std::wstring Narrow(const std::string& text);
std::string Utf8(const std::wstring& text);

// Sets a text property from a wide text that may hold NUL characters.
HRESULT PutText(IKorvane* korvane, HRESULT (STDMETHODCALLTYPE IKorvane::*setter)(BSTR),
                const std::wstring& text);

// The state the object holds now, read the way a page can: FireStateChanged into the recorder set as its
// OnStateChanged. The call is taken off the recorder again; -1 when none came.
LONG ReadState(IKorvane* korvane, FunctionRecorder& onStateChanged);

// Threads of this process, for leak checks.
int ThreadCount();
// How long a leak check waits for the count to come back: the platform's pool threads idle out after about
// five seconds, later on a loaded machine.
const DWORD kThreadsIdleDeadline = 60000;

}  // namespace korvanetest

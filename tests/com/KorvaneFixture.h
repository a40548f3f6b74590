// An upload object with recorders for everything it tells the page: the connection-point events,
// OnStateChanged, OnPost, and the Object value that both functions get first.
#pragma once

#include "KorvaneTestSupport.h"

namespace korvanetest {

template <class T>
CComPtr<T> Make() {
    CComPtr<T> made;
    made.Attach(new T);
    return made;
}

class KorvaneTest : public PageThreadTest {
protected:
    void SetUp() override {
        PageThreadTest::SetUp();
        korvane = CreateKorvane();
        ASSERT_TRUE(korvane);
    }
    void TearDown() override {
        advise.reset();
        korvane.Release();
        PageThreadTest::TearDown();
    }

    // Advises the event recorder and sets Object, OnStateChanged and OnPost.
    void Listen() {
        advise.reset(new Advise(korvane, static_cast<IDispatch*>(events.Get())));
        ASSERT_EQ(advise->Result(), S_OK);
        ASSERT_EQ(korvane->put_Object(page), S_OK);
        ASSERT_EQ(korvane->put_OnStateChanged(states), S_OK);
        ASSERT_EQ(korvane->put_OnPost(progress), S_OK);
    }

    // The states OnStateChanged received, in order.
    std::vector<LONG> StatesSeen() const {
        std::vector<LONG> seen;
        for (const Call& c : states->calls)
            seen.push_back(c.arguments.size() == 2 ? c.arguments[1].number : -1);
        return seen;
    }
    bool StateSeen(LONG state) const {
        for (LONG s : StatesSeen())
            if (s == state) return true;
        return false;
    }

    // A call to OnStateChanged as the object must make it: DISPID 0, LCID 0x400, a method call,
    // (Object as VT_DISPATCH, state as VT_I4).
    void ExpectStateCall(const Call& call, LONG state, IUnknown* object) {
        EXPECT_EQ(call.dispid, DISPID_VALUE);
        EXPECT_EQ(call.lcid, 0x400u);
        EXPECT_EQ(call.flags, DISPATCH_METHOD);
        ASSERT_EQ(call.arguments.size(), 2u);
        EXPECT_EQ(call.arguments[0].type, VT_DISPATCH);
        EXPECT_EQ(call.arguments[0].pointer, object);
        EXPECT_EQ(call.arguments[1].type, VT_I4);
        EXPECT_EQ(call.arguments[1].number, state);
        EXPECT_EQ(call.thread, pageThread_);
    }
    // A call to OnPost as the object must make it: DISPID 0, LCID 0x400, a method call,
    // (Object as VT_DISPATCH, then these four texts as BSTRs: speed, posted length, percent, time).
    void ExpectOnPostCall(const Call& call, const std::vector<std::wstring>& texts) {
        EXPECT_EQ(call.dispid, DISPID_VALUE);
        EXPECT_EQ(call.lcid, 0x400u);
        EXPECT_EQ(call.flags, DISPATCH_METHOD);
        ASSERT_EQ(call.arguments.size(), 5u);
        EXPECT_EQ(call.arguments[0].type, VT_DISPATCH);
        EXPECT_EQ(call.arguments[0].pointer, PageObject());
        std::vector<std::wstring> seen;
        for (size_t a = 1; a < 5; ++a) {
            EXPECT_EQ(call.arguments[a].type, VT_BSTR) << "argument " << a;
            seen.push_back(call.arguments[a].text);
        }
        EXPECT_EQ(seen, texts);
    }
    void ExpectStateChangedEvent(const Call& event, ULONG taskId, LONG state) {
        EXPECT_EQ(event.dispid, kPostStateChanged);
        EXPECT_EQ(event.lcid, 0x400u);
        EXPECT_EQ(event.flags, DISPATCH_METHOD);
        ASSERT_EQ(event.arguments.size(), 2u);
        EXPECT_EQ(event.arguments[0].type, VT_UI4);
        EXPECT_EQ(event.arguments[0].number, static_cast<LONGLONG>(taskId));
        EXPECT_EQ(event.arguments[1].type, VT_I4);
        EXPECT_EQ(event.arguments[1].number, state);
        EXPECT_EQ(event.thread, pageThread_);
    }

    IUnknown* PageObject() const { return static_cast<IDispatch*>(page.Get()); }

    // Declared before the object: they outlive it.
    CComPtr<EventRecorder> events = Make<EventRecorder>();
    CComPtr<FunctionRecorder> states = Make<FunctionRecorder>();
    CComPtr<FunctionRecorder> progress = Make<FunctionRecorder>();
    CComPtr<FunctionRecorder> page = Make<FunctionRecorder>();
    CComPtr<IKorvane> korvane;
    std::unique_ptr<Advise> advise;
};

// The object set for a local check of file (crypType "md5" or "crc"), and the wait for the check's end.
class KorvaneCheckTest : public KorvaneTest {
protected:
    void Prepare(const std::wstring& file, const wchar_t* crypType) {
        Listen();
        PutText(korvane, &IKorvane::put_IP, L"127.0.0.1");
        PutText(korvane, &IKorvane::put_RemoteFile, L"r.bin");
        PutText(korvane, &IKorvane::put_LocalFile, file);
        PutText(korvane, &IKorvane::put_CrypType, crypType);
    }
    // Pumps until the check has completed (6) or failed (3); false when the time ran out first.
    bool WaitForEnd(DWORD timeoutMs = 60000) {
        return PumpUntil([&] { return StateSeen(6) || StateSeen(3); }, timeoutMs);
    }
};

// The fixture with the object made unmarshallable in this apartment (BreakKorvaneMarshalling), so no
// worker can fetch it.
template <class Fixture>
class WithoutMarshalling : public Fixture {
protected:
    void SetUp() override {
        Fixture::SetUp();
        ASSERT_EQ(BreakKorvaneMarshalling(), S_OK);
    }
};

}  // namespace korvanetest

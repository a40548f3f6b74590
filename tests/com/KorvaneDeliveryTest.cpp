// The upload object's way to the page's thread, tried as a hostile page, an impatient user and a foreign
// program would try it: starts from inside callbacks, workers that cannot be started, work-done notices that
// cannot be posted, messages from outside to the object's window, and memory that runs out inside a call.
// Uploads to servers are in KorvaneUploadTest.cpp.
#include "KorvaneFixture.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "common/ImportPatch.h"

using namespace korvanetest;
using ::testing::ElementsAre;

namespace {

const int64_t kGib = 1073741824;
// A check that is stopped at its first progress report: MD5 runs at about a gigabyte a second at the very
// best, and a report is due after a second.
const int64_t kProgressCheckSize = 4 * kGib;
const wchar_t kWindowClass[] = L"KorvanePageThreadWindow";

class KorvaneDeliveryTest : public KorvaneCheckTest {
protected:
    // Lets go of the object and waits until it has dropped the recorders: it is gone.
    void ReleaseAndExpectFreed() {
        advise.reset();
        korvane.Release();
        EXPECT_TRUE(PumpUntil([&] { return states->References() == 1 && page->References() == 1; }, 5000))
            << "the object outlived its work";
        EXPECT_EQ(ServerCanUnloadNow(), S_OK);
    }
};

// ---- starts from inside a callback

struct RestartCase {
    const char* name;
    const wchar_t* crypType;
    // The state whose OnStateChanged call starts the next check, after a Stop when stopFirst.
    LONG trigger;
    bool stopFirst;
};

void PrintTo(const RestartCase& c, std::ostream* out) { *out << c.name; }

class KorvaneRestartTest : public KorvaneDeliveryTest, public ::testing::WithParamInterface<RestartCase> {};

// The callback returns at once; the new check runs once the old run's worker is out of the way, and the page
// hears it as usual, on its own thread.
TEST_P(KorvaneRestartTest, AStartFromInsideACallbackIsCarriedOutAndNothingHangs) {
    const RestartCase& c = GetParam();
    // A restart from a progress report needs a check that lasts over a second on any machine: it stops at
    // its first report, so the size costs nothing.
    Prepare(MakeSparseFile(L"zeros.bin", c.trigger == 5 ? kProgressCheckSize : kGib), c.crypType);
    const std::wstring small = MakeFile(L"small.bin", 5000);
    size_t callsAtRestart = 0;
    bool restarted = false;
    states->onCall = [&](const Call& call) {
        if (restarted || call.arguments.size() != 2 || call.arguments[1].number != c.trigger) return;
        restarted = true;
        if (c.stopFirst) {
            EXPECT_EQ(korvane->Stop(), S_OK);
        }
        PutText(korvane, &IKorvane::put_LocalFile, small);
        EXPECT_EQ(korvane->FileCheck(), S_OK);
        callsAtRestart = states->calls.size();
    };
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return restarted; }, 60000)) << "no report to restart from";
    ASSERT_TRUE(
        PumpUntil([&] { return states->calls.size() > callsAtRestart && StatesSeen().back() == 6; }, 60000))
        << "the start asked inside the callback was lost";
    Pump(300);
    const std::vector<LONG> seen = StatesSeen();
    EXPECT_EQ(seen.back(), 6);
    EXPECT_EQ(std::count(seen.begin() + callsAtRestart, seen.end(), 6), 1) << "one end for the new check";
    const std::wstring expected = std::wstring(c.crypType) == L"md5" ? FileMd5(small) : FileCrc32(small);
    EXPECT_EQ(GetText(korvane, std::wstring(c.crypType) == L"md5" ? &IKorvane::get_MD5 : &IKorvane::get_CRC),
              expected);
    ExpectOnThread(states->calls, pageThread_, "OnStateChanged");
    ReleaseAndExpectFreed();
}

INSTANTIATE_TEST_SUITE_P(Callbacks, KorvaneRestartTest,
                         ::testing::Values(RestartCase{"StopThenCheckInsideMd5Progress", L"md5", 5, true},
                                           RestartCase{"CheckInsideMd5Completion", L"md5", 6, false},
                                           RestartCase{"CheckInsideCrcCompletion", L"crc", 6, false}),
                         [](const ::testing::TestParamInfo<RestartCase>& info) {
                             return std::string(info.param.name);
                         });

// A Stop drops a start that waits for the stopped run; a later start is carried out as usual.
TEST_F(KorvaneDeliveryTest, AStopDropsAStartThatWaits) {
    Prepare(MakeSparseFile(L"zeros.bin", kProgressCheckSize), L"md5");
    bool restarted = false;
    states->onCall = [&](const Call& call) {
        if (restarted || call.arguments.size() != 2 || call.arguments[1].number != 5) return;
        restarted = true;
        EXPECT_EQ(korvane->Stop(), S_OK);
        EXPECT_EQ(korvane->FileCheck(), S_OK);
        EXPECT_EQ(korvane->Stop(), S_OK);
    };
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return restarted; }, 60000));
    const size_t told = states->calls.size();
    Pump(1500);
    EXPECT_EQ(states->calls.size(), told) << "the dropped start was carried out";
    ReleaseAndExpectFreed();
}

// A page that asks again from inside every failed validation: each start waits until the one that calls
// the page is over, so the page sees one failure after another on its own thread instead of a recursion
// that ends the process.
TEST_F(KorvaneDeliveryTest, AStartAskedInsideItsOwnValidationWaitsForIt) {
    Prepare(MakeFile(L"small.bin", 5000), L"crc");
    PutText(korvane, &IKorvane::put_IP, L"");
    int depth = 0, deepest = 0;
    bool insist = true;
    states->onCall = [&](const Call& call) {
        if (!insist || call.arguments.size() != 2 || call.arguments[1].number != 3) return;
        deepest = std::max(deepest, ++depth);
        EXPECT_EQ(korvane->FileCheck(), S_OK);
        --depth;
    };
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return states->calls.size() >= 5; }, 10000))
        << "the starts asked again were lost";
    EXPECT_EQ(deepest, 1) << "a start ran inside the validation that asked for it";
    // The page gives in: it fixes the address, and the start it asked last runs to its end.
    insist = false;
    PutText(korvane, &IKorvane::put_IP, L"127.0.0.1");
    ASSERT_TRUE(PumpUntil([&] { return StateSeen(6); }, 10000));
    ExpectOnThread(states->calls, pageThread_, "OnStateChanged");
    ReleaseAndExpectFreed();
}

// ---- workers that cannot be started, notices that cannot be posted

uintptr_t __cdecl RefuseThread(void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned, unsigned*) {
    errno = EAGAIN;
    return 0;
}

TEST_F(KorvaneDeliveryTest, AWorkerThatCannotStartEndsTheJobWithItsErrorReport) {
    Prepare(MakeFile(L"small.bin", 5000), L"md5");
    ASSERT_EQ(korvane->put_FileID(77), S_OK);
    struct Job {
        const wchar_t* crypType;  // null: an upload
        UINT code;
    };
    for (const Job& job : {Job{L"md5", 201}, Job{L"crc", 200}, Job{nullptr, 7}}) {
        SCOPED_TRACE(job.crypType ? Utf8(job.crypType) : "upload");
        states->calls.clear();
        events->events.clear();
        {
            ImportPatch refuse(LoadServerModule(), "msvcrt.dll", "_beginthreadex",
                               reinterpret_cast<const void*>(&RefuseThread));
            ASSERT_TRUE(refuse.Applied());
            if (job.crypType) {
                PutText(korvane, &IKorvane::put_CrypType, job.crypType);
                ASSERT_EQ(korvane->FileCheck(), S_OK);
            } else {
                ASSERT_EQ(korvane->Post(), S_OK);
            }
        }
        // Told before the call returned.
        EXPECT_THAT(StatesSeen(), ElementsAre(3));
        EXPECT_EQ(GetErrorCode(korvane), job.code);
        if (!job.crypType) {
            const std::vector<Call> errors = events->Named(kPostError);
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0].arguments[0].number, 77);
            EXPECT_EQ(errors[0].arguments[1].number, 7);
        }
    }
    // Nothing stays busy: the next check runs.
    states->calls.clear();
    PutText(korvane, &IKorvane::put_CrypType, L"crc");
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    ASSERT_TRUE(WaitForEnd());
    EXPECT_THAT(StatesSeen(), ElementsAre(6));
    ReleaseAndExpectFreed();
}

BOOL WINAPI RefusePost(HWND, UINT, WPARAM, LPARAM) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return FALSE;
}

// A page's queue that is full refuses posted messages; the object's work ends all the same.
TEST_F(KorvaneDeliveryTest, AWorkDoneNoticeThatCannotBePostedIsNotLost) {
    Prepare(MakeFile(L"small.bin", 5000), L"crc");
    ImportPatch refuse(LoadServerModule(), "user32.dll", "PostMessageW",
                       reinterpret_cast<const void*>(&RefusePost));
    ASSERT_TRUE(refuse.Applied());
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    ASSERT_TRUE(WaitForEnd());
    PutText(korvane, &IKorvane::put_CrypType, L"md5");
    states->calls.clear();
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    ASSERT_TRUE(WaitForEnd());
    EXPECT_THAT(StatesSeen(), ElementsAre(6));
    ReleaseAndExpectFreed();
}

// ---- the object's window and messages from other programs

struct ForeignMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

// Another program finds the object's message-only window and sends and posts it what it likes: the messages
// the object uses with made-up parameters, a timer message with a procedure, and a close. A thread of the
// test plays that program, and it keeps to the windows of this process: other tests that run at the same time
// have windows of the same class, which are not this test's to disturb.
TEST_F(KorvaneDeliveryTest, MessagesFromAnotherProgramAreIgnored) {
    Prepare(MakeSparseFile(L"zeros.bin", kGib), L"md5");
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    const ForeignMessage messages[] = {
        {WM_APP + 0x4B1, 0, 0x10}, {WM_APP + 0x4B1, 0, -1}, {WM_APP + 0x4B2, 0, 0},
        {WM_APP + 0x4B2, 1, 0},    {WM_APP + 0x4B2, 2, 0},  {WM_APP + 0x4B2, 0x7FFFFFFF, 0x10},
        {WM_TIMER, 1, 0},          {WM_TIMER, 1, 0x10},     {WM_CLOSE, 0, 0},
        {WM_APP, 0, 0x10},
    };
    std::atomic<int> windowsFound{0};
    std::atomic<bool> done{false};
    std::thread foreign([&] {
        for (int round = 0; round < 3; ++round) {
            for (HWND window = FindWindowExW(HWND_MESSAGE, nullptr, kWindowClass, nullptr); window;
                 window = FindWindowExW(HWND_MESSAGE, window, kWindowClass, nullptr)) {
                DWORD owner = 0;
                GetWindowThreadProcessId(window, &owner);
                if (owner != GetCurrentProcessId()) continue;
                ++windowsFound;
                for (const ForeignMessage& m : messages) {
                    DWORD_PTR result = 0;
                    SendMessageTimeoutW(window, m.message, m.wParam, m.lParam, SMTO_NORMAL, 5000, &result);
                    if (m.message != WM_TIMER) PostMessageW(window, m.message, m.wParam, m.lParam);
                }
            }
            Sleep(50);
        }
        done = true;
    });
    const bool sent = PumpUntil([&] { return done.load(); }, 60000);
    foreign.join();
    ASSERT_TRUE(sent);
    EXPECT_GT(windowsFound, 0) << "no window of the object's class";
    ASSERT_TRUE(WaitForEnd(120000));
    Pump(300);
    EXPECT_EQ(StatesSeen().back(), 6);
    EXPECT_EQ(GetText(korvane, &IKorvane::get_MD5), L"cd573cfaace07e7949bc0c46028904ff");
    EXPECT_EQ(ServerCanUnloadNow(), S_FALSE);
    ReleaseAndExpectFreed();
}

// ---- memory that runs out inside a COM call

std::atomic<DWORD> failingThread{0};
void*(__cdecl* realMalloc)(size_t) = nullptr;
const size_t kHugeAllocation = 1 << 20;

// The DLL's malloc on the page's thread, with no memory for anything of a megabyte or more (the runtime's
// own small allocations still work, as they do when a huge text cannot be had).
void* __cdecl FailingMalloc(size_t size) {
    if (size >= kHugeAllocation && GetCurrentThreadId() == failingThread) return nullptr;
    return realMalloc(size);
}

// A page hands over a text too big for the memory left: every call answers E_OUTOFMEMORY, none throws
// through the vtable, and the object goes on working.
TEST_F(KorvaneDeliveryTest, AHugeTextThatFindsNoMemoryAnswersOutOfMemory) {
    Prepare(MakeFile(L"small.bin", 5000), L"crc");
    realMalloc =
        reinterpret_cast<void*(__cdecl*)(size_t)>(GetProcAddress(GetModuleHandleW(L"msvcrt.dll"), "malloc"));
    ASSERT_NE(realMalloc, nullptr);
    const std::wstring hugeText(kHugeAllocation, L'x');
    CComBSTR huge(hugeText.c_str(), static_cast<UINT>(hugeText.size()));
    ASSERT_TRUE(static_cast<BSTR>(huge));
    struct TextCall {
        const char* name;
        HRESULT (STDMETHODCALLTYPE IKorvane::*setter)(BSTR);
    };
    const TextCall setters[] = {
        {"LocalFile", &IKorvane::put_LocalFile},   {"RemoteFolder", &IKorvane::put_RemoteFolder},
        {"RemoteFile", &IKorvane::put_RemoteFile}, {"UserName", &IKorvane::put_UserName},
        {"UserPass", &IKorvane::put_UserPass},     {"IP", &IKorvane::put_IP},
        {"CrypType", &IKorvane::put_CrypType},     {"LogFile", &IKorvane::put_LogFile},
    };
    ASSERT_EQ(korvane->put_Debug(VARIANT_TRUE), S_OK);
    {
        ImportPatch failing(LoadServerModule(), "msvcrt.dll", "malloc",
                            reinterpret_cast<const void*>(&FailingMalloc));
        ASSERT_TRUE(failing.Applied());
        failingThread = GetCurrentThreadId();
        for (const TextCall& call : setters)
            EXPECT_EQ((korvane->*call.setter)(huge), E_OUTOFMEMORY) << call.name;
        failingThread = 0;
    }
    ASSERT_EQ(korvane->put_Debug(VARIANT_FALSE), S_OK);
    // The texts kept their values, and the object still works.
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    ASSERT_TRUE(WaitForEnd());
    EXPECT_THAT(StatesSeen(), ElementsAre(6));
    ReleaseAndExpectFreed();
}

}  // namespace

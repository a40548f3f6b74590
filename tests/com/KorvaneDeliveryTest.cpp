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
#include "common/LoopbackListener.h"

using namespace korvanetest;
using ::testing::ElementsAre;

namespace {

const int64_t kGib = 1073741824;
// A check that is stopped at its first progress report: MD5 runs at about a gigabyte a second at the very
// best, and a report is due after a second.
const int64_t kProgressCheckSize = 4 * kGib;
const wchar_t kWindowClass[] = L"KorvanePageThreadWindow";

// Each kind of job, with the code its error report carries when its worker fails; the jobs' file has the id
// kFileId.
const ULONG kFileId = 77;
struct FailingJob {
    const wchar_t* crypType;  // null: an upload
    UINT code;
};
const FailingJob kEveryJob[] = {{L"md5", 201}, {L"crc", 200}, {nullptr, 7}};

class KorvaneDeliveryTest : public KorvaneCheckTest {
protected:
    // What the page heard of a failed job: the error state, the job's code and, for an upload, one PostError
    // with the file's id and the upload's error.
    void ExpectFailed(const FailingJob& job) {
        EXPECT_THAT(StatesSeen(), ElementsAre(3));
        EXPECT_EQ(GetErrorCode(korvane), job.code);
        if (!job.crypType) {
            const std::vector<Call> errors = events->Named(kPostError);
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0].arguments[0].number, kFileId);
            EXPECT_EQ(errors[0].arguments[1].number, 7);
        }
    }

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

// A check asked inside a callback waits for the run that reports, with the settings the page had made at its
// call: what the page sets right after it, for its next file, does not reach it.
TEST_F(KorvaneDeliveryTest, ACheckThatWaitsKeepsTheSettingsOfItsCall) {
    const std::wstring first = MakeFile(L"first.bin", 5000);
    const std::wstring second = MakeFile(L"second.bin", 7000);
    const std::wstring third = MakeFile(L"third.bin", 9000);
    Prepare(first, L"md5");
    ASSERT_EQ(korvane->put_FileID(1), S_OK);
    bool asked = false;
    states->onCall = [&](const Call& call) {
        if (asked || call.arguments.size() != 2 || call.arguments[1].number != 6) return;
        asked = true;
        PutText(korvane, &IKorvane::put_LocalFile, second);
        ASSERT_EQ(korvane->put_FileID(2), S_OK);
        EXPECT_EQ(korvane->FileCheck(), S_OK);
        PutText(korvane, &IKorvane::put_LocalFile, third);
        PutText(korvane, &IKorvane::put_CrypType, L"crc");
        PutText(korvane, &IKorvane::put_IP, L"");
        PutText(korvane, &IKorvane::put_RemoteFile, L"");
        ASSERT_EQ(korvane->put_FileID(3), S_OK);
    };
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    ASSERT_TRUE(PumpUntil([&] { return asked; }, 60000)) << "no report to ask from";
    ASSERT_TRUE(PumpUntil([&] { return states->calls.size() >= 2; }, 60000)) << "the check asked was lost";
    Pump(300);
    EXPECT_THAT(StatesSeen(), ElementsAre(6, 6));
    EXPECT_TRUE(events->Named(kPostStateChanged).empty()) << "the check that waited failed its validation";
    EXPECT_EQ(GetErrorCode(korvane), 0u);
    EXPECT_EQ(GetText(korvane, &IKorvane::get_MD5), FileMd5(second));
    EXPECT_EQ(GetText(korvane, &IKorvane::get_CRC), L"");
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
    // The page gives in: it fixes the address and asks once more. That start (in place of one that may still
    // wait with the empty address) runs to its end.
    insist = false;
    PutText(korvane, &IKorvane::put_IP, L"127.0.0.1");
    EXPECT_EQ(korvane->FileCheck(), S_OK);
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
    ASSERT_EQ(korvane->put_FileID(kFileId), S_OK);
    for (const FailingJob& job : kEveryJob) {
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
        ASSERT_NO_FATAL_FAILURE(ExpectFailed(job));
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
using Malloc = void*(__cdecl*)(size_t);
Malloc realMalloc = nullptr;

// The C runtime's own malloc, which the replacements below call.
Malloc RuntimeMalloc() {
    return reinterpret_cast<Malloc>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"msvcrt.dll"), "malloc")));
}
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
    realMalloc = RuntimeMalloc();
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

// ---- memory that runs out on a worker, or part-way through a start

DWORD pageThreadId = 0;

// The DLL's malloc on every thread but the page's: the workers find no memory for anything but the smallest
// blocks (those the runtime itself needs to throw and unwind).
const size_t kWorkerAllocationLimit = 64;
void* __cdecl MallocFailingOnWorkers(size_t size) {
    if (size >= kWorkerAllocationLimit && GetCurrentThreadId() != pageThreadId) return nullptr;
    return realMalloc(size);
}

// A worker that meets a text, a container or the log without memory ends its job with the job's error report,
// told on the page's thread; the page's process goes on and the object stays usable.
TEST_F(KorvaneDeliveryTest, AWorkerThatFindsNoMemoryEndsItsJobWithItsErrorReport) {
    MessageBoxRecorder boxes;  // the vanished file's message
    SocketLibrary sockets;
    ASSERT_TRUE(sockets.Started());
    realMalloc = RuntimeMalloc();
    ASSERT_NE(realMalloc, nullptr);
    const std::wstring small = MakeFile(L"small.bin", 5000);
    const std::wstring vanishing = MakeFile(L"vanishing.bin", 5000);
    Prepare(small, L"md5");
    ASSERT_EQ(korvane->put_FileID(kFileId), S_OK);
    // A server that greets with a long line and then listens: the upload's worker must keep the reply.
    LoopbackListener listener;
    ASSERT_NE(listener.Port(), 0);
    ASSERT_EQ(korvane->put_Port(listener.Port()), S_OK);
    std::atomic<bool> serving{true};
    std::thread server([&] {
        while (serving) {
            OwnedSocket peer(listener.Accept(100));
            if (peer == INVALID_SOCKET) continue;
            const std::string greeting = "220 " + std::string(400, 'x') + "\r\n";
            ::send(peer, greeting.data(), static_cast<int>(greeting.size()), 0);
            char piece[256];
            while (::recv(peer, piece, sizeof(piece), 0) > 0) {
            }
        }
    });
    for (const FailingJob& job : kEveryJob) {
        SCOPED_TRACE(job.crypType ? Utf8(job.crypType) : "upload");
        states->calls.clear();
        events->events.clear();
        // The MD5 worker's first allocation is the message text about a file that went after it was measured.
        PutText(korvane, &IKorvane::put_LocalFile, job.crypType && job.code == 201 ? vanishing : small);
        if (job.crypType && job.code == 201) {
            ASSERT_TRUE(DeleteFileW(vanishing.c_str()));
        }
        {
            ImportPatch failing(LoadServerModule(), "msvcrt.dll", "malloc",
                                reinterpret_cast<const void*>(&MallocFailingOnWorkers));
            ASSERT_TRUE(failing.Applied());
            pageThreadId = GetCurrentThreadId();
            if (job.crypType) {
                PutText(korvane, &IKorvane::put_CrypType, job.crypType);
                ASSERT_EQ(korvane->FileCheck(), S_OK);
            } else {
                ASSERT_EQ(korvane->Post(), S_OK);
            }
            ASSERT_TRUE(PumpUntil([&] { return !states->calls.empty(); }, 60000)) << "the job ended silently";
            Pump(200);
        }
        ASSERT_NO_FATAL_FAILURE(ExpectFailed(job));
    }
    serving = false;
    server.join();
    // Nothing stays busy: the next check runs.
    states->calls.clear();
    PutText(korvane, &IKorvane::put_LocalFile, small);
    PutText(korvane, &IKorvane::put_CrypType, L"md5");
    ASSERT_EQ(korvane->FileCheck(), S_OK);
    ASSERT_TRUE(WaitForEnd());
    EXPECT_THAT(StatesSeen(), ElementsAre(6));
    EXPECT_EQ(GetText(korvane, &IKorvane::get_MD5), FileMd5(small));
    ReleaseAndExpectFreed();
}

// The DLL's malloc on the page's thread fails once, at the call allocationsToFailure counts down to.
std::atomic<int> allocationsToFailure{0};
std::atomic<bool> failureMet{false};

void* __cdecl MallocFailingOnce(size_t size) {
    if (GetCurrentThreadId() == failingThread && allocationsToFailure > 0 && --allocationsToFailure == 0) {
        failureMet = true;
        return nullptr;
    }
    return realMalloc(size);
}

// An object's reference count, which the object's own work raises while it runs.
ULONG References(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

// A start that meets memory running out part-way, at any of its allocations (a text, the list of worker
// threads its engine object keeps), either changes nothing (E_OUTOFMEMORY) or ends its job with the job's
// error report at once. Either way the object takes back what it took: the next start of that kind runs,
// and the object goes when the page lets go of it.
TEST_F(KorvaneDeliveryTest, AStartThatFailsPartWayLeavesTheObjectUsable) {
    SocketLibrary sockets;
    ASSERT_TRUE(sockets.Started());
    realMalloc = RuntimeMalloc();
    ASSERT_NE(realMalloc, nullptr);
    const std::wstring small = MakeFile(L"small.bin", 5000);
    // The uploads end at once with error 7: nothing listens there.
    const unsigned short deadPort = ClosedLoopbackPort();
    for (const wchar_t* crypType : {L"md5", L"crc", static_cast<const wchar_t*>(nullptr)}) {
        const bool upload = crypType == nullptr;
        auto start = [&] { return upload ? korvane->Post() : korvane->FileCheck(); };
        // The job's final reports so far.
        auto ends = [&] {
            if (upload) return events->Named(kPostError).size() + events->Named(kPostComplete).size();
            const std::vector<LONG> seen = StatesSeen();
            return static_cast<size_t>(std::count(seen.begin(), seen.end(), 6) +
                                       std::count(seen.begin(), seen.end(), 3));
        };
        bool met = true;
        int allocations = 0;
        for (int failing = 1; met && failing < 500; ++failing) {
            SCOPED_TRACE(std::string(upload ? "upload" : Utf8(crypType)) + ", allocation " +
                         std::to_string(failing) + " fails");
            // A fresh object whose engine object keeps the worker of a run that reported.
            advise.reset();
            korvane = CreateKorvane();
            ASSERT_TRUE(korvane);
            states->calls.clear();
            events->events.clear();
            Prepare(small, upload ? L"md5" : crypType);
            ASSERT_EQ(korvane->put_Port(deadPort), S_OK);
            // The references the page holds: a run's work holds one more until its worker is over, and a
            // start asked before that would wait instead of running inside the call.
            const ULONG pageReferences = References(korvane);
            ASSERT_EQ(start(), S_OK);
            ASSERT_TRUE(
                PumpUntil([&] { return ends() == 1 && References(korvane) == pageReferences; }, 60000))
                << "the first run did not end";
            HRESULT failed;
            {
                ImportPatch failingMalloc(LoadServerModule(), "msvcrt.dll", "malloc",
                                          reinterpret_cast<const void*>(&MallocFailingOnce));
                ASSERT_TRUE(failingMalloc.Applied());
                failureMet = false;
                allocationsToFailure = failing;
                failingThread = GetCurrentThreadId();
                failed = start();
                failingThread = 0;
                allocationsToFailure = 0;
                met = failureMet;
            }
            if (met) allocations = failing;
            size_t expected = 1;
            if (failed == S_OK) {
                ++expected;
                ASSERT_TRUE(PumpUntil([&] { return ends() == expected; }, 60000)) << "the job ended silently";
            } else {
                EXPECT_EQ(failed, E_OUTOFMEMORY);
            }
            ASSERT_EQ(start(), S_OK);
            ++expected;
            ASSERT_TRUE(PumpUntil([&] { return ends() == expected; }, 60000)) << "the next start was refused";
            Pump(100);
            EXPECT_EQ(ends(), expected);
            ReleaseAndExpectFreed();
        }
        EXPECT_FALSE(met) << "the start still met the failure at its 500th allocation";
        EXPECT_GT(allocations, 0) << "the start made no allocation that could fail";
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <objbase.h>

#include <atomic>
#include <memory>
#include <new>
#include <random>
#include <thread>

#include "CheckTestSupport.h"
#include "engine/Md5Checker.h"

namespace {

const Report kComplete{"complete", 0};
const Report kError{"error", 0};
Report Process(int percent) { return {"process", percent}; }

std::vector<Report> Processes(const std::vector<int>& percents) {
    std::vector<Report> reports;
    for (int p : percents) reports.push_back(Process(p));
    return reports;
}

// A checker with its recording sink, as the upload object holds them.
struct Md5Fixture {
    Md5Recorder sink;
    std::unique_ptr<Md5Checker> checker{new Md5Checker};
    Md5Fixture() { checker->SetSink(&sink); }

    // Runs one check of path to its report.
    bool Check(const CString& path) {
        const int before = sink.FinalCount();
        checker->SetFilePath(path);
        return checker->Start() && sink.WaitForFinal(before + 1);
    }
};

void Resize(const CString& path, int64_t size) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER at;
    at.QuadPart = size;
    SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    CloseHandle(file);
}

}  // namespace

TEST(Md5Checker, DigestsFilesOfTheRfcSuite) {
    const std::pair<const char*, const char*> suite[] = {
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    ScratchFolder folder;
    FakeTick tick(0, 0);
    Md5Fixture f;
    for (const auto& v : suite) {
        SCOPED_TRACE(v.first);
        ASSERT_TRUE(f.Check(folder.Write(L"rfc.txt", v.first)));
        EXPECT_EQ(Narrow(f.checker->GetResult()), v.second);
        EXPECT_EQ(f.checker->GetState(), Md5StateComplete);
    }
    // A one-byte file is one short block, and a run of less than a second reports no progress.
    std::vector<Report> completes(std::size(suite), kComplete);
    EXPECT_EQ(f.sink.Reports(), completes);
}

TEST(Md5Checker, EmptyOrUnopenableFileFailsWith201) {
    ScratchFolder folder;
    const CString held = folder.Write(L"held.bin", "written by someone else");
    // Another process writing the file and sharing it with nobody.
    HANDLE writer = CreateFileW(held, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);

    struct Case {
        const wchar_t* label;
        CString path;
        bool box;
        int errorNumber;
    } cases[] = {
        {L"empty", folder.Write(L"empty.bin", ""), false, 0},
        {L"missing", folder.PathOf(L"missing.bin"), true, 2},
        {L"held open for writing", held, true, 13},
    };
    Md5Fixture f;
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.label));
        MessageBoxRecorder boxes;
        ASSERT_TRUE(f.Check(c.path));
        EXPECT_EQ(f.sink.Reports().back(), kError);
        EXPECT_EQ(f.checker->GetErrorCode(), 201);
        EXPECT_EQ(f.checker->GetState(), Md5StateFailed);
        EXPECT_TRUE(f.checker->GetResult().IsEmpty());
        const auto shown = boxes.Boxes();
        if (!c.box) {
            EXPECT_TRUE(shown.empty());
            continue;
        }
        ASSERT_EQ(shown.size(), 1u);
        CString text;
        text.Format(L"打开文件错误，错误码：%d，文件路径：%ls", c.errorNumber, c.path.GetString());
        EXPECT_EQ(shown[0].text, std::wstring(text.GetString()));
        EXPECT_EQ(shown[0].caption, L"000");
        EXPECT_EQ(shown[0].type, static_cast<UINT>(MB_OK));
    }
    CloseHandle(writer);
    for (const Report& r : f.sink.Reports()) EXPECT_NE(r.what, "process");
}

// Memory that runs out on the worker (here at the run's first tick, which comes before the file is mapped)
// ends the run with its error report, and the process goes on; a stopped run still ends without one. The
// checker is free again either way.
TEST(Md5Checker, ARunThatThrowsFailsWith201) {
    ScratchFolder folder;
    const std::string bytes = PatternBytes(5000, 7);
    const CString path = folder.Write(L"thrown.bin", bytes);
    for (bool stopFirst : {false, true}) {
        SCOPED_TRACE(stopFirst ? "stopped first" : "running");
        Md5Fixture f;
        f.checker->SetFilePath(path);
        Signal thrown;
        {
            FakeTick tick(0, 0, [&] {
                if (stopFirst) f.checker->Stop();
                thrown.Set();
                throw std::bad_alloc();
            });
            ASSERT_TRUE(f.checker->Start());
            ASSERT_TRUE(thrown.Wait());
            if (!stopFirst) {
                ASSERT_TRUE(f.sink.WaitForFinal(1)) << "the run ended without a report";
                EXPECT_EQ(f.sink.Reports(), std::vector<Report>{kError});
                EXPECT_EQ(f.checker->GetErrorCode(), 201);
                EXPECT_EQ(f.checker->GetState(), Md5StateFailed);
                EXPECT_TRUE(f.checker->GetResult().IsEmpty());
            }
            // A start after a stop waits for the stopped worker, which must have ended.
            f.checker->Stop();
        }
        FakeTick tick(0, 0);
        ASSERT_TRUE(f.Check(path));
        EXPECT_EQ(Narrow(f.checker->GetResult()), Md5Of(bytes));
        EXPECT_EQ(f.sink.Reports().back(), kComplete);
        EXPECT_EQ(f.sink.FinalCount(), stopFirst ? 1 : 2);
    }
}

TEST(Md5Checker, FileThatCannotBeMappedFailsWith201) {
    // A writer that lets others read: depending on the C runtime the measuring already fails, or the mapping
    // does; either way the run must end with a report.
    ScratchFolder folder;
    const CString path = folder.Write(L"shared.bin", PatternBytes(3 * BlockLength(), 18));
    HANDLE writer = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    MessageBoxRecorder boxes;
    FakeTick tick(0, 0);
    Md5Fixture f;
    ASSERT_TRUE(f.Check(path));
    CloseHandle(writer);
    EXPECT_EQ(f.sink.Reports(), std::vector<Report>{kError});
    EXPECT_EQ(f.checker->GetErrorCode(), 201);
    EXPECT_TRUE(f.checker->GetResult().IsEmpty());
}

TEST(Md5Checker, FileThatChangesAfterItWasMeasuredFailsWith201) {
    const int64_t block = BlockLength();
    struct Case {
        int64_t measured;
        int64_t read;
    } cases[] = {
        {3 * block + 5, block + 3},  // shrank: the reads end before the size
        {block + 10, 0},             // emptied: nothing can be mapped
        {block + 3, 2 * block},      // grew: the last block goes past the size
    };
    ScratchFolder folder;
    Md5Fixture f;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.measured);
        const CString path = folder.Write(L"changing.bin", PatternBytes(static_cast<size_t>(c.measured), 3));
        // The checker takes its first tick after measuring the file and before mapping it.
        FakeTick tick(0, 0, [&] { Resize(path, c.read); });
        ASSERT_TRUE(f.Check(path));
        EXPECT_EQ(f.sink.Reports().back(), kError);
        EXPECT_EQ(f.checker->GetErrorCode(), 201);
        EXPECT_TRUE(f.checker->GetResult().IsEmpty());
    }
}

TEST(Md5Checker, ReportsProgressAfterTheBlockWhenATickIsDue) {
    struct Case {
        const char* label;
        DWORD start;
        DWORD step;
        std::vector<int> percents;
    } cases[] = {
        {"due after every block", 0, 1000, {12, 25, 37, 50, 62, 75, 87, 100}},
        {"due after every third block", 0, 400, {37, 75}},
        {"never due: the whole file in less than a second", 0, 124, {}},
        {"tick wraps around", 0xFFFFFC18u, 1000, {12, 25, 37, 50, 62, 75, 87, 100}},
    };
    ScratchFolder folder;
    const CString path = folder.Write(L"eight.bin", PatternBytes(8 * BlockLength(), 4));
    const std::string expected = Md5Of(PatternBytes(8 * BlockLength(), 4));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        FakeTick tick(c.start, c.step);
        Md5Fixture f;
        ASSERT_TRUE(f.Check(path));
        std::vector<Report> reports = Processes(c.percents);
        reports.push_back(kComplete);
        EXPECT_EQ(f.sink.Reports(), reports);
        EXPECT_EQ(Narrow(f.checker->GetResult()), expected);
    }
}

TEST(Md5Checker, PercentFollowsTheArithmeticOfTheBuild) {
    // 100 blocks, a report after each: block k is k % exactly. In single precision 53 % and 59 % come out
    // a little low and truncate to 52 and 58; the 32-bit build rounds only the product and keeps them.
    ScratchFolder folder;
    const CString path =
        folder.Write(L"hundred.bin", std::string(100 * static_cast<size_t>(BlockLength()), 'x'));
    FakeTick tick(0, 1000);
    Md5Fixture f;
    ASSERT_TRUE(f.Check(path));
    std::vector<int> percents;
    for (int k = 1; k <= 100; ++k) percents.push_back(k);
#ifdef KORVANE_64BIT
    percents[52] = 52;
    percents[58] = 58;
#endif
    std::vector<Report> reports = Processes(percents);
    reports.push_back(kComplete);
    EXPECT_EQ(f.sink.Reports(), reports);
}

TEST(Md5Checker, StopEndsTheRunAtTheNextBlockWithoutAReport) {
    ScratchFolder folder;
    const std::string bytes = PatternBytes(20 * BlockLength(), 5);
    const CString path = folder.Write(L"twenty.bin", bytes);
    FakeTick tick(0, 1000);
    Md5Fixture f;
    Signal stopped;
    // Only the first report stops its run; the handler stays in place, since the stopped run's worker may
    // still be inside it while the next run starts.
    std::atomic<bool> stopNext{true};
    f.sink.onProcess = [&](int) {
        if (!stopNext.exchange(false)) return;
        f.checker->Stop();
        stopped.Set();
    };
    f.checker->SetFilePath(path);
    ASSERT_TRUE(f.checker->Start());
    ASSERT_TRUE(stopped.Wait());
    ASSERT_TRUE(f.checker->Start()) << "a Start after a Stop waits for the stopped run";
    ASSERT_TRUE(f.sink.WaitForFinal(1));
    // The stopped run's one report, then the next run from its start: the stopped run said nothing more.
    const std::vector<Report> reports = f.sink.Reports();
    ASSERT_GE(reports.size(), 3u);
    EXPECT_EQ(reports[0], Processes({5})[0]);
    EXPECT_EQ(reports[1], Processes({5})[0]);
    EXPECT_EQ(reports.back(), kComplete);
    EXPECT_EQ(f.sink.FinalCount(), 1);
    EXPECT_EQ(Narrow(f.checker->GetResult()), Md5Of(bytes));
}

TEST(Md5Checker, StopThatFallsOnTheLastBlockEndsWithoutAReport) {
    ScratchFolder folder;
    const CString path = folder.Write(L"two.bin", PatternBytes(2 * BlockLength(), 6));
    FakeTick tick(0, 1000);
    Md5Fixture f;
    Signal stopped;
    f.sink.onProcess = [&](int percent) {
        if (percent != 100) return;
        f.checker->Stop();
        stopped.Set();
    };
    f.checker->SetFilePath(path);
    ASSERT_TRUE(f.checker->Start());
    ASSERT_TRUE(stopped.Wait());
    f.checker.reset();  // waits for the worker
    EXPECT_EQ(f.sink.Reports(), Processes({50, 100}));
}

TEST(Md5Checker, StopWhileIdleDoesNotTouchTheNextRun) {
    ScratchFolder folder;
    const std::string bytes = PatternBytes(3 * BlockLength() + 1, 7);
    FakeTick tick(0, 0);
    Md5Fixture f;
    f.checker->Stop();
    EXPECT_EQ(f.checker->GetState(), Md5StateStopRequested);
    ASSERT_TRUE(f.Check(folder.Write(L"idle.bin", bytes)));
    EXPECT_EQ(f.sink.Reports(), std::vector<Report>{kComplete});
    EXPECT_EQ(Narrow(f.checker->GetResult()), Md5Of(bytes));
}

TEST(Md5Checker, StartAfterStopWaitsUntilTheStoppedWorkerHasEnded) {
    ScratchFolder folder;
    const std::string bytes = PatternBytes(6 * BlockLength(), 10);
    const CString path = folder.Write(L"six.bin", bytes);
    FakeTick tick(0, 1000);
    Signal inReport, release;
    std::atomic<bool> released{false};
    Md5Fixture f;
    f.sink.onProcess = [&](int percent) {
        if (percent == 16) {
            inReport.Set();
            release.Wait();
        }
    };
    f.checker->SetFilePath(path);
    ASSERT_TRUE(f.checker->Start());
    ASSERT_TRUE(inReport.Wait());
    f.checker->Stop();
    std::thread releaser([&] {
        Sleep(300);
        released = true;
        release.Set();
    });
    ASSERT_TRUE(f.checker->Start());
    EXPECT_TRUE(released) << "Start went on while the stopped worker was still in its report";
    releaser.join();
    ASSERT_TRUE(f.sink.WaitForFinal(1));
    // The stopped run's one report, then the new run from its first block.
    std::vector<Report> reports = Processes({16, 16, 33, 50, 66, 83, 100});
    reports.push_back(kComplete);
    EXPECT_EQ(f.sink.Reports(), reports);
    EXPECT_EQ(Narrow(f.checker->GetResult()), Md5Of(bytes));
}

namespace {
LRESULT CALLBACK AnswerWindow(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_APP) return 42;
    return DefWindowProcW(window, message, w, l);
}
}  // namespace

TEST(Md5Checker, StartAfterStopKeepsServingTheApartmentThatWaits) {
    // On the page's thread a worker's report is a call into that thread (through the Global Interface Table),
    // so the wait for a stopped worker must let such calls through. A sent message stands in for the call.
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = &AnswerWindow;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"KorvaneCheckTestAnswer";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);

    ScratchFolder folder;
    const CString path = folder.Write(L"four.bin", PatternBytes(4 * BlockLength(), 11));
    FakeTick tick(0, 1000);
    Signal inReport;
    std::atomic<LRESULT> answer{0};
    Md5Fixture f;
    std::atomic<bool> sent{false};
    f.sink.onProcess = [&](int percent) {
        if (percent != 25 || sent.exchange(true)) return;
        inReport.Set();
        DWORD_PTR result = 0;
        if (SendMessageTimeoutW(window, WM_APP, 0, 0, SMTO_NORMAL, 10000, &result)) answer = result;
    };
    f.checker->SetFilePath(path);
    ASSERT_TRUE(f.checker->Start());
    ASSERT_TRUE(inReport.Wait());
    f.checker->Stop();
    ASSERT_TRUE(f.checker->Start());
    EXPECT_EQ(answer, 42) << "the worker's call did not get through while Start waited";
    ASSERT_TRUE(f.sink.WaitForFinal(1));
    f.checker.reset();
    DestroyWindow(window);
    UnregisterClassW(windowClass.lpszClassName, windowClass.hInstance);
    CoUninitialize();
}

TEST(Md5Checker, StartsAndStopsInALoopNeverMixTwoRuns) {
    ScratchFolder folder;
    const std::string bytes[2] = {PatternBytes(40 * BlockLength(), 16),
                                  PatternBytes(37 * BlockLength() + 11, 17)};
    const CString paths[2] = {folder.Write(L"a.bin", bytes[0]), folder.Write(L"b.bin", bytes[1])};
    const std::string digests[2] = {Md5Of(bytes[0]), Md5Of(bytes[1])};
    FakeTick tick(0, 1000);
    Md5Fixture f;
    std::atomic<int> strange{0};
    // The hook runs on the workers, and a worker may still be inside its report while the checker is being
    // destroyed at the end: it reads through a pointer of its own, as the pointer in the fixture is null by
    // then. The destructor waits for every worker before any member goes.
    Md5Checker* const checker = f.checker.get();
    f.sink.onComplete = [&strange, &digests, checker] {
        const std::string result = Narrow(checker->GetResult());
        if (!result.empty() && result != digests[0] && result != digests[1]) ++strange;
    };
    std::mt19937 random(20240601);
    int waited = 0;
    for (int run = 0; run < 300; ++run) {
        const int which = static_cast<int>(random() % 2);
        f.checker->SetFilePath(paths[which]);
        ASSERT_TRUE(f.checker->Start()) << "run " << run;
        if (random() % 4 == 0) {
            // Let it complete: the result can only be this run's digest.
            CString result;
            const DWORD deadline = GetTickCount() + 20000;
            while ((result = f.checker->GetResult()).IsEmpty() && GetTickCount() < deadline) Sleep(1);
            ASSERT_EQ(Narrow(result), digests[which]) << "run " << run;
            ++waited;
        } else {
            // Stop it anywhere: before its first block, in the middle, or after it completed.
            for (unsigned spin = random() % 200000; spin > 0; --spin) YieldProcessor();
            f.checker->Stop();
            const std::string result = Narrow(f.checker->GetResult());
            EXPECT_TRUE(result.empty() || result == digests[which]) << "run " << run;
        }
    }
    f.checker.reset();
    int completes = 0;
    for (const Report& r : f.sink.Reports()) {
        EXPECT_NE(r.what, "error");
        if (r == kComplete) ++completes;
    }
    EXPECT_GE(completes, waited);
    EXPECT_EQ(strange, 0);
}

// Another program cuts the file short while the check maps it: the pages past the new end can no longer be
// read. The check fails with 201 and the process lives on (a copy out of the view would end it).
TEST(Md5Checker, AFileCutShortByAnotherProgramDuringTheCheckFailsWith201) {
    ScratchFolder folder;
    const size_t size = 3 * static_cast<size_t>(Md5Checker::kBlocksPerView) * BlockLength();
    const CString path = folder.Write(L"cut.bin", PatternBytes(size, 8));
    // A report after every block: at the first one the check has mapped the first of three views.
    FakeTick tick(0, 1000);
    Md5Fixture f;
    bool tried = false;
    bool cut = false;
    f.sink.onProcess = [&](int) {
        if (!tried) cut = testfiles::CutShortFromOutside(path.GetString(), 1000);
        tried = true;
    };
    ASSERT_TRUE(f.Check(path));
    if (!cut) GTEST_SKIP() << "no program here can cut a mapped file short";
    EXPECT_EQ(f.sink.Reports().back(), kError);
    EXPECT_EQ(f.checker->GetErrorCode(), 201);
    EXPECT_TRUE(f.checker->GetResult().IsEmpty());
}

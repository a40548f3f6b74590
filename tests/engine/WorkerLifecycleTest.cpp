// The life of a worker, the same for the three classes that run one (the upload, the MD5 check and the CRC-32
// check): for each a short job, two short jobs told apart, and a long job the test holds in mid-run; the ends
// they report, and what may happen around those ends. What only one class does stays in its own test file.
// The upload's sockets want winsock2.h before windows.h.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "CheckTestSupport.h"
#include "EngineTestSupport.h"
#include "common/LoopbackListener.h"
#include "engine/Crc32.h"
#include "engine/Md5Checker.h"

namespace {

// What every sink below adds to its class's recorder: the thread of each final report, and a hook run on
// the worker inside that report, after it was recorded.
class FinalHook {
public:
    std::function<void()> onFinal;

    std::vector<DWORD> FinalThreads() const {
        std::lock_guard<std::mutex> hold(lock_);
        return threads_;
    }

protected:
    void Final() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            threads_.push_back(GetCurrentThreadId());
        }
        if (onFinal) onFinal();
    }

private:
    mutable std::mutex lock_;
    std::vector<DWORD> threads_;
};

// The upload: its short job goes to a closed port of this machine and ends with error 7.
struct PosterTraits {
    using Worker = FtpFilePoster;
    class Sink : public enginetest::RecordingSink, public FinalHook {
    public:
        void postComplete(int taskId) override {
            RecordingSink::postComplete(taskId);
            Final();
        }
        void postError(int taskId, int errorCode) override {
            RecordingSink::postError(taskId, errorCode);
            Final();
        }
        bool WaitForFinals(int count) { return WaitForFinal(static_cast<size_t>(count)); }
    };
    struct Job {
        SocketLibrary winsock;
        unsigned short port = ClosedLoopbackPort();
    };
    static void Attach(Worker& worker, Sink& sink, Job& job) {
        worker.SetEvent(&sink);
        worker.SetFileSize(10);
        worker.SetServer(L"127.0.0.1", job.port, L"bob", L"pw");
    }
    static bool Start(Worker& worker, Job&) { return worker.Post(L"C:\\nothing.bin", L"", L"up.bin"); }
    static void Stop(Worker& worker) { worker.Stop(); }
    // The short job ended as it must: every final report an error 7.
    static void ExpectShortJobEnds(Worker&, Sink& sink) {
        for (const enginetest::Report& r : sink.Finals()) {
            EXPECT_EQ(enginetest::Report::Error, r.kind);
            EXPECT_EQ(PageErrorCode::SendFailed, r.errorCode);
        }
    }
    // Two short jobs told apart by their task ids.
    struct TwoJobs {
        SocketLibrary winsock;
        unsigned short port = ClosedLoopbackPort();

        bool StartFirst(Worker& worker) { return StartTask(worker, 1); }
        bool StartSecond(Worker& worker) { return StartTask(worker, 2); }
        void ExpectTheFirstSettled(Worker& worker) {
            EXPECT_EQ(PageErrorCode::SendFailed, worker.GetErrorCode());
        }
        void ExpectBothRan(Worker&, Sink& sink) {
            const std::vector<enginetest::Report> finals = sink.Finals();
            ASSERT_EQ(2u, finals.size());
            EXPECT_EQ(1, finals[0].taskId);
            EXPECT_EQ(2, finals[1].taskId);
            for (const enginetest::Report& r : finals) {
                EXPECT_EQ(enginetest::Report::Error, r.kind);
                EXPECT_EQ(PageErrorCode::SendFailed, r.errorCode);
            }
        }

    private:
        bool StartTask(Worker& worker, int taskId) {
            worker.SetTaskId(taskId);
            worker.SetServer(L"127.0.0.1", port, L"bob", L"pw");
            return worker.Post(L"C:\\nothing.bin", L"", L"up.bin");
        }
    };
    // The long job: a server that takes the connection and never says a word. The job waits for its
    // greeting until the shortened reply deadline, then ends with error 20.
    struct Held {
        SocketLibrary winsock;
        enginetest::TimeoutScope shortWait{30000, 1500};
        LoopbackListener listener;
        OwnedSocket peer;

        ::testing::AssertionResult Begin(Worker& worker, Sink&) {
            worker.SetTaskId(1);
            worker.SetFileSize(1000);
            worker.SetServer(L"127.0.0.1", listener.Port(), L"bob", L"pw");
            if (!worker.Post(L"C:\\nothing.bin", L"in", L"up.bin"))
                return ::testing::AssertionFailure() << "not started";
            peer = OwnedSocket(listener.Accept());
            if (peer == INVALID_SOCKET) return ::testing::AssertionFailure() << "no connection came";
            if (!worker.IsRunning()) return ::testing::AssertionFailure() << "the job ended already";
            return ::testing::AssertionSuccess();
        }
        // Everything the owner could try while the job runs.
        void ExpectAStartRefused(Worker& worker) {
            worker.SetTaskId(2);
            worker.SetFileSize(5);
            worker.SetServer(L"127.0.0.1", ClosedLoopbackPort(), L"eve", L"x");
            EXPECT_FALSE(worker.Post(L"C:\\other.bin", L"", L"other.bin"));
        }
        // The silent server lets the reply deadline run out.
        void Release() {}
        void ExpectItRanToItsEnd(Worker&, Sink& sink) {
            const std::vector<enginetest::Report> finals = sink.Finals();
            ASSERT_EQ(1u, finals.size());
            EXPECT_EQ(1, finals[0].taskId);
            EXPECT_EQ(PageErrorCode::ReceiveFailed, finals[0].errorCode);
            EXPECT_EQ("QUIT\r\n", enginetest::ReceiveUntilQuiet(peer, 30000));
        }
        // The worker has ended: its QUIT and the close are there already.
        void ExpectTheWorkerIsOver() {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(peer, &readable);
            timeval now{0, 0};
            EXPECT_EQ(1, ::select(0, &readable, nullptr, nullptr, &now));
            EXPECT_EQ("QUIT\r\n", enginetest::ReceiveUntilQuiet(peer, 0));
        }
        void ExpectNothingReportedAfterTheHold(Sink& sink) { EXPECT_TRUE(sink.Reports().empty()); }
    };
};

// The MD5 check: its short job is a three-byte file, done in one block.
struct Md5Traits {
    using Worker = Md5Checker;
    class Sink : public Md5Recorder, public FinalHook {
    public:
        void md5Complete() override {
            Md5Recorder::md5Complete();
            Final();
        }
        void md5Error() override {
            Md5Recorder::md5Error();
            Final();
        }
        bool WaitForFinals(int count) { return WaitForFinal(count); }
    };
    struct Job {
        ScratchFolder folder;
        CString path = folder.Write(L"abc.bin", "abc");
    };
    static void Attach(Worker& worker, Sink& sink, Job&) { worker.SetSink(&sink); }
    static bool Start(Worker& worker, Job& job) {
        worker.SetFilePath(job.path);
        return worker.Start();
    }
    static void Stop(Worker& worker) { worker.Stop(); }
    static void ExpectShortJobEnds(Worker& worker, Sink& sink) {
        for (const Report& r : sink.Reports()) EXPECT_EQ(Report({"complete", 0}), r);
        EXPECT_EQ(Narrow(worker.GetResult()), "900150983cd24fb0d6963f7d28e17f72");
    }
    // Two files of a few blocks each, under a tick that never moves: no progress report.
    struct TwoJobs {
        ScratchFolder folder;
        std::string first = PatternBytes(2 * BlockLength() + 9, 12);
        std::string second = PatternBytes(3 * BlockLength() + 1, 13);
        CString firstPath = folder.Write(L"first.bin", first);
        CString secondPath = folder.Write(L"second.bin", second);
        FakeTick tick{0, 0};

        bool StartFirst(Worker& worker) {
            worker.SetFilePath(firstPath);
            return worker.Start();
        }
        bool StartSecond(Worker& worker) {
            worker.SetFilePath(secondPath);
            return worker.Start();
        }
        void ExpectTheFirstSettled(Worker& worker) { EXPECT_EQ(Narrow(worker.GetResult()), Md5Of(first)); }
        void ExpectBothRan(Worker& worker, Sink& sink) {
            EXPECT_EQ(sink.Reports(), std::vector<Report>({{"complete", 0}, {"complete", 0}}));
            EXPECT_EQ(Narrow(worker.GetResult()), Md5Of(second));
        }
    };
    // The long job: four blocks, with a report after each, held in its first report (25 %) until released.
    struct Held {
        ScratchFolder folder;
        std::string first = PatternBytes(4 * BlockLength(), 8);
        std::string second = PatternBytes(5 * BlockLength(), 9);
        CString firstPath = folder.Write(L"first.bin", first);
        CString secondPath = folder.Write(L"second.bin", second);
        FakeTick tick{0, 1000};
        Signal inReport, release;
        std::atomic<bool> released{false};

        ::testing::AssertionResult Begin(Worker& worker, Sink& sink) {
            sink.onProcess = [this](int percent) {
                if (percent == 25) {
                    inReport.Set();
                    release.Wait();
                }
            };
            worker.SetFilePath(firstPath);
            if (!worker.Start()) return ::testing::AssertionFailure() << "not started";
            if (!inReport.Wait()) return ::testing::AssertionFailure() << "no report came";
            return ::testing::AssertionSuccess();
        }
        void ExpectAStartRefused(Worker& worker) {
            worker.SetFilePath(secondPath);
            EXPECT_FALSE(worker.Start());
            EXPECT_FALSE(worker.Start());
            EXPECT_EQ(worker.GetState(), Md5StateIdle);
            EXPECT_TRUE(worker.GetResult().IsEmpty());
        }
        void Release() {
            released = true;
            release.Set();
        }
        void ExpectItRanToItsEnd(Worker& worker, Sink& sink) {
            const std::vector<Report> reports = {
                {"process", 25}, {"process", 50}, {"process", 75}, {"process", 100}, {"complete", 0}};
            EXPECT_EQ(sink.Reports(), reports);
            EXPECT_EQ(Narrow(worker.GetResult()), Md5Of(first));
            // The refused Start left the new path for the next one.
            sink.onProcess = nullptr;
            ASSERT_TRUE(worker.Start());
            ASSERT_TRUE(sink.WaitForFinal(2));
            EXPECT_EQ(Narrow(worker.GetResult()), Md5Of(second));
        }
        void ExpectTheWorkerIsOver() {
            EXPECT_TRUE(released) << "it went on while the worker was still in its report";
        }
        // Stopped at the next block: no further report, no completion.
        void ExpectNothingReportedAfterTheHold(Sink& sink) {
            EXPECT_EQ(sink.Reports(), std::vector<Report>{Report({"process", 25})});
        }
    };
};

// The CRC-32 check: its short job is the check value's nine bytes.
struct Crc32Traits {
    using Worker = Crc32;
    class Sink : public Crc32Recorder, public FinalHook {
    public:
        void crcComplete() override {
            Crc32Recorder::crcComplete();
            Final();
        }
        void crcError() override {
            Crc32Recorder::crcError();
            Final();
        }
        bool WaitForFinals(int count) { return WaitForFinal(count); }
    };
    struct Job {
        ScratchFolder folder;
        CString path = folder.Write(L"check.bin", "123456789");
    };
    static void Attach(Worker& worker, Sink& sink, Job&) { worker.SetSink(&sink); }
    static bool Start(Worker& worker, Job& job) { return worker.Start(job.path); }
    // It has no stop: only its destructor ends a run early.
    static void ExpectShortJobEnds(Worker& worker, Sink& sink) {
        for (const Report& r : sink.Reports()) EXPECT_EQ(Report({"complete", 0}), r);
        EXPECT_STREQ(worker.GetResult(), L"3421780262");
    }
    // The check value's bytes, then one byte whose checksum has fewer digits.
    struct TwoJobs {
        ScratchFolder folder;
        CString first = folder.Write(L"first.bin", "123456789");
        CString second = folder.Write(L"second.bin", "g");

        bool StartFirst(Worker& worker) { return worker.Start(first); }
        bool StartSecond(Worker& worker) { return worker.Start(second); }
        void ExpectTheFirstSettled(Worker& worker) { EXPECT_STREQ(worker.GetResult(), L"3421780262"); }
        void ExpectBothRan(Worker& worker, Sink& sink) {
            EXPECT_EQ(sink.Reports(), std::vector<Report>({{"complete", 0}, {"complete", 0}}));
            EXPECT_STREQ(worker.GetResult(), L"30677878");
        }
    };
    // The long job: a file that is a pipe, fed part of the check value's bytes; the worker waits for the
    // rest.
    struct Held {
        ScratchFolder folder;
        CString other = folder.Write(L"other.bin", "other");
        PipeFile pipe;
        std::atomic<bool> closed{false};

        ::testing::AssertionResult Begin(Worker& worker, Sink&) {
            if (!pipe.IsOpen()) return ::testing::AssertionFailure() << "no pipe";
            if (!worker.Start(pipe.Path())) return ::testing::AssertionFailure() << "not started";
            if (!pipe.Accept()) return ::testing::AssertionFailure() << "the check did not open the pipe";
            if (!pipe.Write("1234")) return ::testing::AssertionFailure() << "the pipe took nothing";
            pipe.Drain();
            return ::testing::AssertionSuccess();
        }
        void ExpectAStartRefused(Worker& worker) {
            EXPECT_FALSE(worker.Start(other));
            EXPECT_TRUE(worker.GetResult().IsEmpty());
        }
        // The rest of the bytes, then the end of the file.
        void Release() {
            pipe.Write("56789");
            closed = true;
            pipe.Close();
        }
        void ExpectItRanToItsEnd(Worker& worker, Sink& sink) {
            EXPECT_EQ(sink.Reports(), std::vector<Report>{Report({"complete", 0})});
            EXPECT_STREQ(worker.GetResult(), L"3421780262");
        }
        void ExpectTheWorkerIsOver() { EXPECT_TRUE(closed) << "it went on while its worker still read"; }
        void ExpectNothingReportedAfterTheHold(Sink& sink) { EXPECT_TRUE(sink.Reports().empty()); }
    };
};

// Destroys the worker when a test's locals go, before them: its hooks reach into them, also when an
// assertion ended the test early.
template <typename Worker>
class GoesFirst {
public:
    explicit GoesFirst(std::unique_ptr<Worker>& worker) : worker_(worker) {}
    ~GoesFirst() { worker_.reset(); }
    GoesFirst(const GoesFirst&) = delete;
    GoesFirst& operator=(const GoesFirst&) = delete;

private:
    std::unique_ptr<Worker>& worker_;
};

template <typename Traits>
class WorkerLifecycle : public ::testing::Test {
protected:
    using Worker = typename Traits::Worker;

    WorkerLifecycle() { Traits::Attach(*worker_, sink_, job_); }
    bool Start() { return Traits::Start(*worker_, job_); }

    // Declared before the worker: the worker goes first and waits for its threads, which use these.
    typename Traits::Job job_;
    typename Traits::Sink sink_;
    std::unique_ptr<Worker> worker_{new Worker};
};

class TraitsNames {
public:
    template <typename T>
    static std::string GetName(int) {
        if (std::is_same<T, PosterTraits>::value) return "FtpFilePoster";
        if (std::is_same<T, Md5Traits>::value) return "Md5Checker";
        return "Crc32";
    }
};

using Workers = ::testing::Types<PosterTraits, Md5Traits, Crc32Traits>;
TYPED_TEST_SUITE(WorkerLifecycle, Workers, TraitsNames);

// The owner starts the next job from inside the final report of the last one, on that job's worker.
TYPED_TEST(WorkerLifecycle, TheNextRunMayStartFromInsideTheFinalReport) {
    typename TypeParam::TwoJobs jobs;
    std::atomic<int> finals{0};
    std::atomic<bool> secondAccepted{false};
    this->sink_.onFinal = [&] {
        if (++finals == 1) secondAccepted = jobs.StartSecond(*this->worker_);
    };
    GoesFirst<typename TypeParam::Worker> goesFirst(this->worker_);
    ASSERT_TRUE(jobs.StartFirst(*this->worker_));
    ASSERT_TRUE(this->sink_.WaitForFinals(2));
    EXPECT_TRUE(secondAccepted);
    const std::vector<DWORD> threads = this->sink_.FinalThreads();
    ASSERT_EQ(2u, threads.size());
    EXPECT_NE(threads[0], threads[1]) << "each run has a worker of its own";
    EXPECT_NE(GetCurrentThreadId(), threads[0]) << "reports come on the worker";
    jobs.ExpectBothRan(*this->worker_, this->sink_);
}

// A page that runs its jobs one after another starts the next one from its completion callback, on the
// page's thread, while the worker that reported waits for that callback to return.
TYPED_TEST(WorkerLifecycle, AStartFromAnotherThreadDuringTheFinalReportBeginsTheNextRun) {
    typename TypeParam::TwoJobs jobs;
    Signal completing, callbackDone;
    std::atomic<int> finals{0};
    this->sink_.onFinal = [&] {
        if (++finals != 1) return;
        completing.Set();
        callbackDone.Wait();
    };
    GoesFirst<typename TypeParam::Worker> goesFirst(this->worker_);
    ASSERT_TRUE(jobs.StartFirst(*this->worker_));
    ASSERT_TRUE(completing.Wait());
    jobs.ExpectTheFirstSettled(*this->worker_);
    EXPECT_TRUE(jobs.StartSecond(*this->worker_));
    callbackDone.Set();
    ASSERT_TRUE(this->sink_.WaitForFinals(2));
    jobs.ExpectBothRan(*this->worker_, this->sink_);
}

// The process's open handles, counted by asking after each handle value (Wine gives no handle count).
DWORD OpenHandles() {
    DWORD count = 0;
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

// A job has ended for the next start once its outcome is settled, while its report may still run: the
// thread handle of each worker is closed by a later job, not kept.
TYPED_TEST(WorkerLifecycle, EachWorkerHandleIsClosedByTheNextJob) {
    GoesFirst<typename TypeParam::Worker> goesFirst(this->worker_);
    DWORD before = 0;
    const int jobs = 12;
    for (int i = 1; i <= jobs; ++i) {
        ASSERT_TRUE(this->Start()) << "job " << i;
        ASSERT_TRUE(this->sink_.WaitForFinals(i));
        if (i == 2) before = OpenHandles();
    }
    const DWORD after = OpenHandles();
    ASSERT_GT(before, 0u);
    EXPECT_LT(after, before + 4) << "ten more jobs must not leave ten thread handles";
    TypeParam::ExpectShortJobEnds(*this->worker_, this->sink_);
}

// The next run started while the first run's worker is inside its final report (the page's callback runs on
// another thread while that worker waits for it), and the object goes before that report has returned: the
// first worker must be over before the destructor returns, or code of the library runs after its last user.
TYPED_TEST(WorkerLifecycle, DestroyingItWaitsForAnEarlierWorkerStillInItsFinalReport) {
    Signal completing, callbackDone;
    std::atomic<DWORD> firstWorker{0};
    std::atomic<bool> waitedInVain{false};
    std::atomic<int> finals{0};
    this->sink_.onFinal = [&] {
        if (++finals != 1) return;
        firstWorker = GetCurrentThreadId();
        completing.Set();
        if (!callbackDone.Wait(30000)) waitedInVain = true;
    };
    GoesFirst<typename TypeParam::Worker> goesFirst(this->worker_);
    ASSERT_TRUE(this->Start());
    ASSERT_TRUE(completing.Wait());
    ASSERT_TRUE(this->Start()) << "the next run must not wait for a report that waits for it";
    ASSERT_TRUE(this->sink_.WaitForFinals(2));
    EXPECT_FALSE(waitedInVain) << "the next start waited for the report that waited for it";
    std::thread release([&] {
        Sleep(300);
        callbackDone.Set();
    });
    this->worker_.reset();
    EXPECT_TRUE(ThreadHasEnded(firstWorker)) << "a worker outlived its object";
    release.join();
}

// While a run is under way a start is refused and changes nothing: the run goes on to its own end.
TYPED_TEST(WorkerLifecycle, AStartWhileARunIsGoingIsRefusedAndChangesNothing) {
    typename TypeParam::Held held;
    GoesFirst<typename TypeParam::Worker> goesFirst(this->worker_);
    ASSERT_TRUE(held.Begin(*this->worker_, this->sink_));
    held.ExpectAStartRefused(*this->worker_);
    held.Release();
    ASSERT_TRUE(this->sink_.WaitForFinals(1));
    held.ExpectItRanToItsEnd(*this->worker_, this->sink_);
}

// The object goes in the middle of a run: its destructor ends the run and waits for the worker, which
// reports nothing more.
TYPED_TEST(WorkerLifecycle, DestroyingItMidRunWaitsForTheWorkerWhichReportsNothingMore) {
    typename TypeParam::Held held;
    GoesFirst<typename TypeParam::Worker> goesFirst(this->worker_);
    ASSERT_TRUE(held.Begin(*this->worker_, this->sink_));
    std::thread release([&] {
        Sleep(300);
        held.Release();
    });
    this->worker_.reset();
    held.ExpectTheWorkerIsOver();
    release.join();
    held.ExpectNothingReportedAfterTheHold(this->sink_);
}

// The two that can be stopped.
template <typename Traits>
class StoppableWorker : public WorkerLifecycle<Traits> {};

using StoppableWorkers = ::testing::Types<PosterTraits, Md5Traits>;
TYPED_TEST_SUITE(StoppableWorker, StoppableWorkers, TraitsNames);

// A stop while nothing runs counts for nothing: the next start runs its job to its end.
TYPED_TEST(StoppableWorker, AStopWhileIdleDoesNotTouchTheNextRun) {
    TypeParam::Stop(*this->worker_);
    ASSERT_TRUE(this->Start());
    ASSERT_TRUE(this->sink_.WaitForFinals(1));
    EXPECT_EQ(1u, this->sink_.FinalThreads().size());
    TypeParam::ExpectShortJobEnds(*this->worker_, this->sink_);
}

}  // namespace

// The life of a worker, the same for the three classes that run one (the upload, the MD5 check and the CRC-32
// check): a short job for each, the end it reports, and what may happen around that end. What only one class
// does stays in its own test file.
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
    std::atomic<int> finals{0};
    std::atomic<bool> secondAccepted{false};
    this->sink_.onFinal = [&] {
        if (++finals == 1) secondAccepted = this->Start();
    };
    GoesFirst<typename TypeParam::Worker> goesFirst(this->worker_);
    ASSERT_TRUE(this->Start());
    ASSERT_TRUE(this->sink_.WaitForFinals(2));
    EXPECT_TRUE(secondAccepted);
    const std::vector<DWORD> threads = this->sink_.FinalThreads();
    ASSERT_EQ(2u, threads.size());
    EXPECT_NE(threads[0], threads[1]) << "each run has a worker of its own";
    EXPECT_NE(GetCurrentThreadId(), threads[0]) << "reports come on the worker";
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

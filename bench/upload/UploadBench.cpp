// upload_bench: one upload with the engine, timed from Post to the final report.
//   upload_bench HOST PORT USER PASSWORD LOCAL-FILE REMOTE-FOLDER REMOTE-FILE
// Prints "ms=<milliseconds> outcome=complete" or "ms=<milliseconds> outcome=error code=<n>"; exit code 0 only
// on completion.
#include <winsock2.h>

#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <cwchar>
#include <mutex>

#include "engine/FtpFilePoster.h"
#include "support/FileInfo.h"

namespace {

class WaitingSink : public KorvaneEvent {
public:
    void postComplete(int) override { Finish(0); }
    void postError(int, int errorCode) override { Finish(errorCode); }
    int Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [&] { return finished_; });
        return code_;
    }

private:
    void Finish(int code) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        // Notified under the lock: once Wait has returned, the worker does not touch the sink again.
        std::lock_guard<std::mutex> lock(mutex_);
        end_ = now.QuadPart;
        code_ = code;
        finished_ = true;
        done_.notify_all();
    }

public:
    LONGLONG end_ = 0;

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    int code_ = 0;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 8) {
        std::fwprintf(stderr,
                      L"usage: upload_bench HOST PORT USER PASSWORD LOCAL-FILE REMOTE-FOLDER REMOTE-FILE\n");
        return 2;
    }
    Tamsic::IO::FileInfo info(argv[5]);
    const int64_t size = info.GetSize();

    WaitingSink sink;
    FtpFilePoster poster;
    poster.SetEvent(&sink);
    poster.SetTaskId(1);
    poster.SetFileSize(size);
    poster.SetServer(argv[1], static_cast<unsigned short>(std::wcstoul(argv[2], nullptr, 10)), argv[3],
                     argv[4]);

    LARGE_INTEGER frequency, start;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!poster.Post(argv[5], argv[6], argv[7])) {
        std::fwprintf(stderr, L"the worker did not start\n");
        return 1;
    }
    const int code = sink.Wait();
    const double ms =
        static_cast<double>(sink.end_ - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
    if (code == 0)
        std::printf("ms=%.3f outcome=complete\n", ms);
    else
        std::printf("ms=%.3f outcome=error code=%d\n", ms, code);
    return code == 0 ? 0 : 1;
}

// upload_bench: one upload with the engine, timed from Post to the final report.
//   upload_bench HOST PORT USER PASSWORD LOCAL-FILE REMOTE-FOLDER REMOTE-FILE [--reports] [--stop-after MS]
// Prints "ms=<milliseconds> outcome=complete" or "ms=<milliseconds> outcome=error code=<n>"; exit code 0 only
// on completion. --reports first prints each progress report as it comes, with its time since Post and the
// texts a page shows: "report ms=<ms> posted=<bytes> speed=<text> left=<text> percent=<text>".
// --stop-after stops the upload from the first progress report at or after MS milliseconds, as a page's
// handler may, and posts it again as soon as the stopped job has ended ("stopped ms=<ms> posted=<bytes>",
// "ended ms=<ms>", then the resumed job's reports); the final line is the resumed job's.
#include <winsock2.h>

#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <cwchar>
#include <mutex>

#include "engine/FtpFilePoster.h"
#include "support/FileInfo.h"

namespace {

double MillisecondsSince(const LARGE_INTEGER& start) {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

std::string Narrow(const CString& text) {
    std::string narrow;
    for (const wchar_t* p = text.GetString(); *p; ++p) narrow += static_cast<char>(*p);
    return narrow;
}

class WaitingSink : public KorvaneEvent {
public:
    WaitingSink(FtpFilePoster& poster, const LARGE_INTEGER& start, bool reports, double stopAfter)
        : poster_(poster), start_(start), reports_(reports), stopAfter_(stopAfter) {}

    void postProcess(int, int64_t posted, CString speed) override {
        const double ms = MillisecondsSince(start_);
        if (reports_)
            std::printf("report ms=%.3f posted=%lld speed=%s left=%s percent=%s\n", ms,
                        static_cast<long long>(posted), Narrow(speed).c_str(),
                        Narrow(poster_.GetRemainingTimeText()).c_str(),
                        Narrow(poster_.GetPercentText()).c_str());
        if (stopAfter_ >= 0 && ms >= stopAfter_) {
            stopAfter_ = -1;
            std::printf("stopped ms=%.3f posted=%lld\n", ms, static_cast<long long>(posted));
            poster_.Stop();
        }
        std::fflush(stdout);
    }
    void postComplete(int) override { Finish(0); }
    void postError(int, int errorCode) override { Finish(errorCode); }
    int Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [&] { return finished_; });
        return code_;
    }
    bool Finished() {
        std::lock_guard<std::mutex> lock(mutex_);
        return finished_;
    }
    double end_ = 0;

private:
    void Finish(int code) {
        const double ms = MillisecondsSince(start_);
        // Notified under the lock: once Wait has returned, the worker does not touch the sink again.
        std::lock_guard<std::mutex> lock(mutex_);
        end_ = ms;
        code_ = code;
        finished_ = true;
        done_.notify_all();
    }

    FtpFilePoster& poster_;
    const LARGE_INTEGER& start_;
    bool reports_;
    double stopAfter_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    int code_ = 0;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool reports = false;
    double stopAfter = -1;
    int positional = 8;
    for (int i = 8; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--reports") == 0)
            reports = true;
        else if (std::wcscmp(argv[i], L"--stop-after") == 0 && i + 1 < argc)
            stopAfter = std::wcstod(argv[++i], nullptr);
        else
            positional = 0;
    }
    if (argc < 8 || positional != 8) {
        std::fwprintf(stderr,
                      L"usage: upload_bench HOST PORT USER PASSWORD LOCAL-FILE REMOTE-FOLDER REMOTE-FILE "
                      L"[--reports] [--stop-after MS]\n");
        return 2;
    }
    Tamsic::IO::FileInfo info(argv[5]);
    const int64_t size = info.GetSize();

    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    FtpFilePoster poster;
    WaitingSink sink(poster, start, reports, stopAfter);
    poster.SetEvent(&sink);
    poster.SetTaskId(1);
    poster.SetFileSize(size);
    poster.SetServer(argv[1], static_cast<unsigned short>(std::wcstoul(argv[2], nullptr, 10)), argv[3],
                     argv[4]);
    if (!poster.Post(argv[5], argv[6], argv[7])) {
        std::fwprintf(stderr, L"the worker did not start\n");
        return 1;
    }
    if (stopAfter >= 0) {
        // The stopped job reports nothing: it has ended when the poster is free again.
        while (poster.IsRunning()) Sleep(1);
        std::printf("ended ms=%.3f\n", MillisecondsSince(start));
        if (!sink.Finished() && !poster.Post(argv[5], argv[6], argv[7])) {
            std::fwprintf(stderr, L"the second Post was refused\n");
            return 1;
        }
    }
    const int code = sink.Wait();
    if (code == 0)
        std::printf("ms=%.3f outcome=complete\n", sink.end_);
    else
        std::printf("ms=%.3f outcome=error code=%d\n", sink.end_, code);
    return code == 0 ? 0 : 1;
}

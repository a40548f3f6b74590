// One file check with the engine, timed from Start to its final report:
//   checks_bench.exe md5|crc <path>
// Prints "ms=<elapsed> outcome=complete|error result=<text>".
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "engine/Crc32.h"
#include "engine/Md5Checker.h"

namespace {

class Sink : public Md5CheckerEvent, public Crc32Event {
public:
    Sink() : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Sink() { CloseHandle(done_); }
    void md5Complete() override { End(true); }
    void md5Error() override { End(false); }
    void crcComplete() override { End(true); }
    void crcError() override { End(false); }
    bool Wait() {
        WaitForSingleObject(done_, INFINITE);
        return complete_;
    }

private:
    void End(bool complete) {
        complete_ = complete;
        SetEvent(done_);
    }
    HANDLE done_;
    volatile bool complete_ = false;
};

double Seconds() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 || (wcscmp(argv[1], L"md5") != 0 && wcscmp(argv[1], L"crc") != 0)) {
        std::fprintf(stderr, "usage: checks_bench md5|crc <path>\n");
        return 2;
    }
    const bool md5 = wcscmp(argv[1], L"md5") == 0;
    Sink sink;
    Md5Checker checker;
    Crc32 crc;
    checker.SetSink(&sink);
    crc.SetSink(&sink);

    const double start = Seconds();
    bool started;
    if (md5) {
        checker.SetFilePath(argv[2]);
        started = checker.Start();
    } else {
        started = crc.Start(argv[2]);
    }
    const bool complete = started && sink.Wait();
    const double elapsed = Seconds() - start;
    const CString result = md5 ? checker.GetResult() : crc.GetResult();
    std::printf("ms=%.3f outcome=%s result=%ls\n", elapsed * 1000, complete ? "complete" : "error",
                result.GetString());
    return complete ? 0 : 1;
}

// One file check with the engine, timed from Start to its final report:
//   checks_bench.exe md5|crc <path>
// Prints "ms=<elapsed> outcome=complete|error result=<text>".
// Or where a check's time goes, reading and computing timed apart over one pass each:
//   checks_bench.exe parts <path>
// Prints "md5_read=<ms> md5_digest=<ms> crc_read=<ms> crc_compute=<ms>": MD5 reads as its check does
// (MapFile::Read, Md5Checker::kBlocksPerView blocks per view: md5_read is mapping, copying and unmapping) and
// CRC-32 as its check does (1 MiB per fread from an unbuffered stream), with the method the check picks.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>

#include "engine/Crc32.h"
#include "engine/MD5.h"
#include "engine/Md5Checker.h"
#include "support/MapFile.h"

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

double Milliseconds() { return Seconds() * 1000.0; }

int Parts(const wchar_t* path) {
    double md5Read = 0, md5Digest = 0, crcRead = 0, crcCompute = 0;
    {
        Tamsic::IO::MapFile file;
        if (!file.Open(path)) return 1;
        const int viewLength = static_cast<int>(file.GetAllocationGranularity()) * Md5Checker::kBlocksPerView;
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[static_cast<size_t>(viewLength) + 1]());
        MD5 digest;
        digest.Reset();
        for (;;) {
            const double t0 = Milliseconds();
            const int64_t n = file.Read(buffer.get(), viewLength);
            const double t1 = Milliseconds();
            md5Read += t1 - t0;
            if (n <= 0) break;
            digest.Update(buffer.get(), static_cast<size_t>(n));
            md5Digest += Milliseconds() - t1;
        }
        file.Close();
        digest.ToString();
    }
    {
        FILE* stream = nullptr;
        if (_wfopen_s(&stream, path, L"rb") != 0 || !stream) return 1;
        std::setvbuf(stream, nullptr, _IONBF, 0);
        const size_t blockSize = 0x100000;
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[blockSize]);
        Crc32 crc;
        uint32_t value = 0xFFFFFFFFu;
        for (;;) {
            const double t0 = Milliseconds();
            const size_t n = std::fread(buffer.get(), 1, blockSize, stream);
            const double t1 = Milliseconds();
            crcRead += t1 - t0;
            if (n == 0) break;
            value = crc.Update(value, buffer.get(), n, crc.GetMethod());
            crcCompute += Milliseconds() - t1;
        }
        std::fclose(stream);
    }
    std::printf("md5_read=%.3f md5_digest=%.3f crc_read=%.3f crc_compute=%.3f\n", md5Read, md5Digest, crcRead,
                crcCompute);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && wcscmp(argv[1], L"parts") == 0) return Parts(argv[2]);
    if (argc != 3 || (wcscmp(argv[1], L"md5") != 0 && wcscmp(argv[1], L"crc") != 0)) {
        std::fprintf(stderr, "usage: checks_bench md5|crc|parts <path>\n");
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

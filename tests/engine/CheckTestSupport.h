// What the check tests share: a scratch folder per test process, the two platform seams held for one test,
// and sinks that record every report with the thread it came on.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "classlib/CString.h"
#include "common/MessageBoxRecorder.h"
#include "common/RecordedReports.h"
#include "common/TestFiles.h"
#include "engine/Crc32Event.h"
#include "engine/Md5CheckerEvent.h"

std::string Narrow(const CString& text);
// The allocation granularity, the block the MD5 check reads with.
int BlockLength();
// Bytes that differ from block to block, so a block read twice or skipped changes the digest.
std::string PatternBytes(size_t length, unsigned seed);
// The MD5 of bytes as our MD5 class computes it (checked against RFC 1321 and hashlib elsewhere).
std::string Md5Of(const std::string& bytes);

// A folder of its own for each test process: CTest runs the test cases as processes side by side.
class ScratchFolder {
public:
    CString Write(const wchar_t* name, const std::string& bytes);
    CString PathOf(const wchar_t* name) const;

private:
    testfiles::TempFolder folder_;
};

// Replaces the millisecond tick for one test: each call returns the current value and then adds step.
// The hook, when set, runs on the first call (on the worker thread).
class FakeTick {
public:
    FakeTick(DWORD start, DWORD step, std::function<void()> firstCall = nullptr);
    ~FakeTick();
};

// Replaces the message box for one test and keeps what it was asked to show.
using testcommon::MessageBoxRecorder;

// One report as a sink received it: "process 37", "complete", "error".
struct Report {
    std::string what;
    int percent;
    bool operator==(const Report& other) const { return what == other.what && percent == other.percent; }
};
std::ostream& operator<<(std::ostream& out, const Report& report);

// Keeps the reports in order and lets the test wait for final ones.
class ReportLog {
public:
    void Add(const std::string& what, int percent = 0) { reports_.Add({what, percent}); }
    std::vector<Report> Reports() const { return reports_.All(); }
    // Waits until count final reports (complete or error) have arrived; false after the time-out.
    bool WaitForFinal(int count, int milliseconds = 20000) const {
        return reports_.WaitForCount(IsFinal, static_cast<size_t>(count),
                                     std::chrono::milliseconds(milliseconds));
    }
    int FinalCount() const { return static_cast<int>(reports_.Count(IsFinal)); }

private:
    static bool IsFinal(const Report& report) { return report.what != "process"; }

    testcommon::RecordedReports<Report> reports_;
};

class Md5Recorder : public Md5CheckerEvent, public ReportLog {
public:
    void md5Process(int percent) override;
    void md5Complete() override;
    void md5Error() override;
    // Run on the worker thread after the report was recorded.
    std::function<void(int percent)> onProcess;
    std::function<void()> onComplete;
};

class Crc32Recorder : public Crc32Event, public ReportLog {
public:
    void crcError() override;
    void crcComplete() override;
    void crcProcess(int percent) override;
    std::function<void()> onComplete;
};

// True when the thread with this id has ended (or is gone altogether).
inline bool ThreadHasEnded(DWORD id) {
    HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, id);
    if (!thread) return true;
    const bool ended = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return ended;
}

// A manual-reset event for hand-offs between a test and a worker.
class Signal {
public:
    Signal() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Signal() { CloseHandle(event_); }
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;
    void Set() { SetEvent(event_); }
    bool Wait(DWORD milliseconds = 20000) {
        return WaitForSingleObject(event_, milliseconds) == WAIT_OBJECT_0;
    }
    HANDLE Handle() const { return event_; }

private:
    HANDLE event_;
};

// The server end of a named pipe that the check opens as its file, fed by the test.
class PipeFile {
public:
    PipeFile() {
        static std::atomic<int> counter{0};
        path_.Format(L"\\\\.\\pipe\\korvane-checks-%lu-%d", GetCurrentProcessId(), counter++);
        pipe_ = CreateNamedPipeW(path_, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 1 << 16, 1 << 16,
                                 0, nullptr);
    }
    ~PipeFile() { Close(); }
    bool IsOpen() const { return pipe_ != INVALID_HANDLE_VALUE; }
    const CString& Path() const { return path_; }
    // Waits for the check to open the pipe.
    bool Accept() { return ConnectNamedPipe(pipe_, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED; }
    bool Write(const std::string& bytes) {
        DWORD n = 0;
        return WriteFile(pipe_, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) &&
               n == bytes.size();
    }
    // Returns once the reader has taken everything written.
    void Drain() { FlushFileBuffers(pipe_); }
    // The reader's next read fails: not the end of the file, an error.
    void Disconnect() { DisconnectNamedPipe(pipe_); }
    // The reader's next read finds the end of the file.
    void Close() {
        if (IsOpen()) CloseHandle(pipe_);
        pipe_ = INVALID_HANDLE_VALUE;
    }

private:
    CString path_;
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
};

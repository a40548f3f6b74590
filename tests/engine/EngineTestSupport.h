// Small helpers the engine tests share: a recording event sink, the tick seam, loopback socket I/O.
#pragma once

#include <winsock2.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "Network/TcpConnection.h"
#include "classlib/CString.h"
#include "common/LoopbackListener.h"
#include "common/RecordedReports.h"
#include "engine/FtpFilePoster.h"
#include "engine/KorvaneEvent.h"
#include "support/Platform.h"

namespace enginetest {

// How long a test waits for a job's final report before it calls the job hung. Generous: a slow machine
// must not fail a test, only a job that never reports.
const std::chrono::seconds kReportDeadline{120};

struct Report {
    enum Kind { Complete, Error, Process, Connect } kind;
    int taskId;
    int errorCode;
    int64_t posted;
    std::wstring speed;
    DWORD threadId;
};

// Records every report with the thread it came on; a test waits for the final one.
class RecordingSink : public KorvaneEvent {
public:
    void postComplete(int taskId) override {
        Add({Report::Complete, taskId, 0, 0, L"", GetCurrentThreadId()});
    }
    void postError(int taskId, int errorCode) override {
        Add({Report::Error, taskId, errorCode, 0, L"", GetCurrentThreadId()});
    }
    void postProcess(int taskId, int64_t posted, CString speed) override {
        Add({Report::Process, taskId, 0, posted, speed.GetString(), GetCurrentThreadId()});
    }
    void postConnect(int taskId) override { Add({Report::Connect, taskId, 0, 0, L"", GetCurrentThreadId()}); }

    // True once count final reports (complete or error) have come, false when the deadline passed first.
    bool WaitForFinal(size_t count = 1) { return reports_.WaitForCount(IsFinal, count, kReportDeadline); }
    std::vector<Report> Reports() { return reports_.All(); }
    std::vector<Report> Finals() {
        std::vector<Report> finals;
        for (const Report& r : reports_.All())
            if (IsFinal(r)) finals.push_back(r);
        return finals;
    }

private:
    void Add(const Report& report) { reports_.Add(report); }
    static bool IsFinal(const Report& r) { return r.kind == Report::Complete || r.kind == Report::Error; }

    testcommon::RecordedReports<Report> reports_;
};

// Replaces the platform tick for one test; the test moves the clock by hand.
class TickSeam {
public:
    explicit TickSeam(DWORD start = 5000) {
        Now() = start;
        previous_ = Tamsic::Platform::SetTickFunction(&TickSeam::Read);
    }
    ~TickSeam() { Tamsic::Platform::SetTickFunction(previous_); }
    static void Set(DWORD value) { Now() = value; }
    static void Advance(DWORD milliseconds) { Now() += milliseconds; }

private:
    static volatile DWORD& Now() {
        static volatile DWORD now = 0;
        return now;
    }
    static DWORD Read() { return Now(); }
    Tamsic::Platform::TickFunction previous_;
};

// The older names of the shared socket helpers, which some engine tests still use.
using WinsockSession = SocketLibrary;
inline unsigned short ClosedPort() { return ClosedLoopbackPort(); }

inline void SendText(SOCKET s, const std::string& text) {
    ::send(s, text.data(), static_cast<int>(text.size()), 0);
}

// Everything the peer sends until it closes or stays silent for waitMilliseconds.
inline std::string ReceiveUntilQuiet(SOCKET s, int waitMilliseconds) {
    std::string all;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval wait{waitMilliseconds / 1000, (waitMilliseconds % 1000) * 1000};
        if (::select(0, &readable, nullptr, nullptr, &wait) != 1) break;
        char piece[4096];
        const int n = ::recv(s, piece, sizeof(piece), 0);
        if (n <= 0) break;
        all.append(piece, static_cast<size_t>(n));
    }
    return all;
}

// Restores the connection time-outs a test shortened.
class TimeoutScope {
public:
    TimeoutScope(int connectMilliseconds, int ioMilliseconds)
        : connect_(TcpConnection::GetConnectTimeout()), io_(TcpConnection::GetIoTimeout()) {
        TcpConnection::SetTimeouts(connectMilliseconds, ioMilliseconds);
    }
    ~TimeoutScope() { TcpConnection::SetTimeouts(connect_, io_); }

private:
    int connect_;
    int io_;
};

// Reproducible bytes that differ from block to block.
inline std::string LocalBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    return bytes;
}

// A local file the test writes under the host's /tmp (the Z: drive) and removes. /tmp is shared with tests
// that run under other wineservers (other prefixes), whose process ids are counted apart from ours: a name
// is taken only when the file could be made new there, so two tests never write or remove one file.
class LocalFile {
public:
    explicit LocalFile(const std::string& bytes) : bytes_(bytes) {
        static volatile LONG count = 0;
        HANDLE file = INVALID_HANDLE_VALUE;
        do {
            const std::string name = "korvane-eng-" + std::to_string(GetCurrentProcessId()) + "-" +
                                     std::to_string(InterlockedIncrement(&count)) + ".bin";
            unixPath_ = "/tmp/" + name;
            path_ = L"Z:\\tmp\\" + std::wstring(name.begin(), name.end());
            file = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
        } while (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS);
        for (size_t at = 0; file != INVALID_HANDLE_VALUE && at < bytes.size();) {
            const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - at, 1u << 24));
            DWORD written = 0;
            if (!WriteFile(file, bytes.data() + at, piece, &written, nullptr) || written == 0) break;
            at += written;
        }
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
    ~LocalFile() { DeleteFileW(path_.c_str()); }
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;
    const std::wstring& Path() const { return path_; }
    const std::string& UnixPath() const { return unixPath_; }
    const std::string& Bytes() const { return bytes_; }

private:
    std::string bytes_;
    std::wstring path_;
    std::string unixPath_;
};

// A tick that moves by one second at every call: each block of the send loop is then a speed sample and
// falls due for a progress report.
inline DWORD SecondPerCall() {
    static volatile LONG now = 100000;
    return static_cast<DWORD>(InterlockedAdd(&now, 1000));
}

// Opens the poster's protected record to the tests.
class PosterProbe : public FtpFilePoster {
public:
    using FtpFilePoster::control_;
    using FtpFilePoster::fileSize_;
    using FtpFilePoster::password_;
    using FtpFilePoster::posted_;
    using FtpFilePoster::remoteFile_;
    using FtpFilePoster::remoteFolder_;
    using FtpFilePoster::response_;
    using FtpFilePoster::speed_;
    using FtpFilePoster::state_;
    using FtpFilePoster::userName_;
    using FtpFilePoster::utf8_;
    using FtpFilePoster::worker_;
};

// Stops the job from its first progress report.
class StoppingSink : public RecordingSink {
public:
    FtpFilePoster* poster = nullptr;
    void postProcess(int taskId, int64_t posted, CString speed) override {
        poster->Stop();
        RecordingSink::postProcess(taskId, posted, speed);
    }
};

}  // namespace enginetest

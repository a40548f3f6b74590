// The upload demo: one file to an FTP server with the engine, on its worker thread, printing every report
// as it comes and the outcome, then the debug log of the exchange (the password shows as ****).
//   korvane_demo HOST PORT USER PASSWORD LOCAL-FILE REMOTE-FOLDER REMOTE-FILE
// Exit code 0 when the upload completed. tools/demo.sh starts a local server and checks the server's copy.
#include <winsock2.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>

#include "Biz/Log.h"
#include "classlib/CString.h"
#include "engine/FtpFilePoster.h"
#include "support/FileInfo.h"
#include "support/SizeText.h"
#include "support/TextConvert.h"

namespace {

// Console output is UTF-8 bytes: the log file holds UTF-8 too, and Wine hands the bytes on unchanged.
void Print(const wchar_t* format, ...) {
    CString text;
    va_list args;
    va_start(args, format);
    text.FormatV(format, args);
    va_end(args);
    std::string bytes;
    CStringToUtf8(text, bytes);
    bytes += '\n';
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

const wchar_t* ErrorName(int code) {
    switch (code) {
        case FtpFilePoster::UserRejected:
            return L"user name refused";
        case FtpFilePoster::PassRejected:
            return L"password refused";
        case FtpFilePoster::SendFailed:
            return L"a command could not be sent";
        case FtpFilePoster::FileNotMapped:
            return L"the local file could not be read";
        case FtpFilePoster::TransferFailed:
            return L"the transfer failed or was refused";
        case FtpFilePoster::ReceiveFailed:
            return L"a reply did not arrive";
        case FtpFilePoster::PassiveFailed:
            return L"passive mode refused";
        default:
            return L"unknown";
    }
}

// Prints the reports on the worker thread, as the upload object's handlers would take them, and lets the
// main thread wait for the last one.
class PrintingSink : public KorvaneEvent {
public:
    explicit PrintingSink(const FtpFilePoster& poster) : poster_(poster) {}

    void postProcess(int taskId, int64_t posted, CString speed) override {
        Print(L"  [task %d] progress: %ls sent (%I64d bytes), %ls/s, %ls, %ls left", taskId,
              poster_.GetPostedText().GetString(), static_cast<long long>(posted), speed.GetString(),
              poster_.GetPercentText().GetString(), poster_.GetRemainingTimeText().GetString());
    }
    void postComplete(int taskId) override {
        Print(L"  [task %d] complete", taskId);
        Finish(0);
    }
    void postError(int taskId, int errorCode) override {
        Print(L"  [task %d] error %d: %ls", taskId, errorCode, ErrorName(errorCode));
        Finish(errorCode);
    }

    int Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [&] { return finished_; });
        return code_;
    }

private:
    void Finish(int code) {
        // Notified under the lock: once Wait has returned, the worker does not touch the sink again.
        std::lock_guard<std::mutex> lock(mutex_);
        code_ = code;
        finished_ = true;
        done_.notify_all();
    }

    const FtpFilePoster& poster_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    int code_ = 0;
};

void PrintLog(const CString& path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string bytes;
    if (file != INVALID_HANDLE_VALUE) {
        char block[4096];
        DWORD got = 0;
        while (ReadFile(file, block, sizeof(block), &got, nullptr) && got > 0) bytes.append(block, got);
        CloseHandle(file);
    }
    std::string lines;
    for (char c : bytes)
        if (c != '\r') lines += c;
    std::fwrite(lines.data(), 1, lines.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc != 8) {
        Print(L"usage: korvane_demo HOST PORT USER PASSWORD LOCAL-FILE REMOTE-FOLDER REMOTE-FILE");
        return 2;
    }
    const CString host = argv[1];
    const unsigned short port = static_cast<unsigned short>(std::wcstoul(argv[2], nullptr, 10));
    const CString localFile = argv[5];

    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    const CString logPath = CString(temp) + L"korvane-demo.log";
    OpenLogFile(GetLogger(), true, logPath.GetString());

    Tamsic::IO::FileInfo info(localFile);
    const int64_t size = info.GetSize();
    Print(L"Uploading %ls (%I64d bytes, %ls) to %ls:%u, folder %ls, file %ls, user %ls",
          localFile.GetString(), static_cast<long long>(size),
          FormatByteSize(static_cast<double>(size)).GetString(), host.GetString(), port, argv[6], argv[7],
          argv[3]);

    FtpFilePoster poster;
    PrintingSink sink(poster);
    poster.SetEvent(&sink);
    poster.SetTaskId(1);
    poster.SetFileSize(size);
    poster.SetServer(host, port, argv[3], argv[4]);
    if (!poster.Post(localFile, argv[6], argv[7])) {
        Print(L"The worker could not be started.");
        return 1;
    }
    Print(L"Reports (from the worker thread, progress at most once a second):");
    const int code = sink.Wait();

    Print(L"Debug log of the exchange (%ls):", logPath.GetString());
    PrintLog(logPath);
    Print(code == 0 ? L"Upload complete." : L"Upload FAILED.");
    return code == 0 ? 0 : 1;
}

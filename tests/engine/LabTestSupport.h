// Running one upload job against a server of the FTP lab.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "EngineTestSupport.h"
#include "LabClient.h"

namespace enginetest {

struct JobResult {
    bool reported = false;  // a final report came before the deadline
    size_t finals = 0;      // how many final reports came
    Report final{};
    std::vector<Report> progress;
};

inline CString Wide(const std::string& ascii) {
    return CString(std::wstring(ascii.begin(), ascii.end()).c_str());
}

// Posts one job to 127.0.0.1:port and waits for its final report; the poster is gone when this returns.
inline JobResult RunLabJob(int port, const std::string& user, const std::string& password,
                           const LocalFile& local, int64_t fileSize, const CString& folder,
                           const CString& file) {
    RecordingSink sink;
    JobResult result;
    {
        FtpFilePoster poster;
        poster.SetEvent(&sink);
        poster.SetTaskId(77);
        poster.SetFileSize(fileSize);
        poster.SetServer(L"127.0.0.1", static_cast<unsigned short>(port), Wide(user), Wide(password));
        if (!poster.Post(local.Path().c_str(), folder, file)) return result;
        result.reported = sink.WaitForFinal();
    }
    const std::vector<Report> finals = sink.Finals();
    result.finals = finals.size();
    if (!finals.empty()) result.final = finals[0];
    for (const Report& r : sink.Reports())
        if (r.kind == Report::Process) result.progress.push_back(r);
    return result;
}

// Stops the job from its first progress report.
class StoppingSink : public RecordingSink {
public:
    FtpFilePoster* poster = nullptr;
    void postProcess(int taskId, int64_t posted, CString speed) override {
        poster->Stop();
        RecordingSink::postProcess(taskId, posted, speed);
    }
};

// A page that stops the upload at its first progress report and, once the job has ended, posts it again
// on the same object at once: the result of the second job. A first job that reports anything (it should
// end silently) makes reported false.
inline JobResult StopThenPostAgain(int port, const std::string& user, const std::string& password,
                                   const LocalFile& local, const CString& folder, const CString& file) {
    const int64_t size = static_cast<int64_t>(local.Bytes().size());
    StoppingSink stopping;
    RecordingSink resuming;
    JobResult result;
    {
        FtpFilePoster poster;
        // A second per tick: the first block is due for a progress report, and the stop comes with it.
        const Tamsic::Platform::TickFunction previous = Tamsic::Platform::SetTickFunction(&SecondPerCall);
        stopping.poster = &poster;
        poster.SetEvent(&stopping);
        poster.SetTaskId(1);
        poster.SetFileSize(size);
        poster.SetServer(L"127.0.0.1", static_cast<unsigned short>(port), Wide(user), Wide(password));
        const bool posted = poster.Post(local.Path().c_str(), folder, file);
        for (int waited = 0; posted && poster.IsRunning() && waited < 120000; waited += 20) Sleep(20);
        Tamsic::Platform::SetTickFunction(previous);
        if (!posted || poster.IsRunning() || !stopping.Finals().empty()) return result;

        poster.SetEvent(&resuming);
        poster.SetTaskId(2);
        if (!poster.Post(local.Path().c_str(), folder, file)) return result;
        result.reported = resuming.WaitForFinal();
    }
    const std::vector<Report> finals = resuming.Finals();
    result.finals = finals.size();
    if (!finals.empty()) result.final = finals[0];
    return result;
}

}  // namespace enginetest

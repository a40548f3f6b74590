// The MD5 file check: digests one local file on a worker thread of its own and reports progress, completion
// or failure through Md5CheckerEvent. The owner keeps one checker for its whole life and runs one check at a
// time on it.
#pragma once

#include <windows.h>

#include <string>

#include "classlib/CString.h"
#include "engine/ErrorCodes.h"
#include "engine/Md5CheckerEvent.h"
#include "engine/WorkerThread.h"

enum Md5CheckerState : int {
    Md5StateIdle = 0,
    Md5StateStopRequested = 2,
    Md5StateFailed = 4,
    Md5StateComplete = 8,
};

class Md5Checker {
public:
    // The file is empty, could not be opened, or could not be read to its end.
    static constexpr PageErrorCode FileEmpty = PageErrorCode::FileEmpty;
    // Blocks mapped per view; the digest, the stop and the progress still go block by block.
    static constexpr int kBlocksPerView = 64;

    Md5Checker();
    // Stops a run in progress and waits for its worker to end. Not to be destroyed from inside its own
    // progress report: that worker would go on with the next block.
    virtual ~Md5Checker();
    Md5Checker(const Md5Checker&) = delete;
    Md5Checker& operator=(const Md5Checker&) = delete;

    // Set once, before the first Start; the worker calls it without testing it.
    void SetSink(Md5CheckerEvent* sink) { sink_ = sink; }
    // The file of the next Start; a run in progress keeps its own copy.
    void SetFilePath(const CString& path) { path_ = path; }

    // Begins a run: results emptied, state idle, a new worker. Refused (false, nothing changed) while a run
    // is still going, unless that run was asked to stop: then this first waits for its worker to end, which
    // it does at its next block. A run that reported its outcome no longer counts as going: as this call
    // may come from inside that report (on the worker, or on a thread the report calls into), its worker is
    // not waited for here but kept, and the destructor waits for it; a worker that ended without a report
    // is waited for here.
    bool Start();
    // Asks the run in progress to end at its next block, without a report. When no run is going, the state
    // only reads as stopped until the next Start.
    void Stop();

    // The digest as 32 lower-case hex digits after a completed run, else the empty text.
    CString GetResult() const;
    // Meaningful after md5Error.
    int GetErrorCode() const;
    Md5CheckerState GetState() const;

private:
    friend class WorkerThread;
    // One run; settled is set once its outcome is written and a new Start may begin.
    void Run(bool& settled);
    // A run that threw before its outcome was written ends as one that could not read its file (a stopped
    // run without a report).
    void SettleAfterFault();
    bool IsStopRequested() const;
    // Called with the lock held.
    void SetResult(const std::string& hex);

    Md5CheckerEvent* sink_ = nullptr;
    // The core's lock guards the state, the error code and the results.
    Md5CheckerState state_ = Md5StateIdle;
    int errorCode_ = 0;
    CString path_;
    std::string narrowResult_;
    CString wideResult_;
    // The path of the run in progress. Start writes it only while no worker reads it.
    CString runPath_;
    WorkerThread worker_;
};

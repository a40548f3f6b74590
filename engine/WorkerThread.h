// The worker threads of one engine object: the thread of its latest job, and those of earlier jobs that may
// still be finishing their final report. The owner waits for all of them before it goes, so that no code of
// the library runs once its last reference is gone.
#pragma once

#include <windows.h>

#include <vector>

class WorkerThread {
public:
    using Procedure = unsigned(__stdcall*)(void* argument);

    WorkerThread() = default;
    // Closes the handles; the owner has waited (WaitForAll) before its fields went.
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Starts the next job's thread through the C runtime. The previous one must have been waited for
    // (WaitForEnd and Close) or kept (Keep) first.
    bool Begin(Procedure procedure, void* argument);
    // Waits until the latest thread has ended; true at once when there is none. A thread that lives in a
    // single-threaded apartment keeps serving COM calls meanwhile: a worker's report can be a call into that
    // very thread, and the worker could not end before it returns. False when the caller is the worker
    // itself, which can never see its own end.
    bool WaitForEnd();
    // Closes the latest thread's handle: only once it has ended.
    void Close();
    // Keeps the latest thread for WaitForAll without waiting now: it is inside its final report, and the
    // caller may be that report (on the worker, or on a thread the report is calling into).
    void Keep();
    // Waits for every thread (except the caller's own) and closes every handle.
    void WaitForAll();
    // True when the caller is the latest thread.
    bool IsCurrent() const;

private:
    static bool Wait(HANDLE handle);
    // Closes the kept handles of threads that have ended.
    void CloseEnded();

    HANDLE handle_ = nullptr;
    std::vector<HANDLE> kept_;
};

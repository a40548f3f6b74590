// The worker threads of one engine object: the thread of its latest job, and those of earlier jobs that may
// still be finishing their final report. The owner waits for all of them before it goes, so that no code of
// the library runs once its last reference is gone. RunJob is the body of every worker's entry.
#pragma once

#include <windows.h>

#include <vector>

class WorkerThread {
public:
    using Procedure = unsigned(__stdcall*)(void* argument);

    // A worker's entry: runs job, and when job throws (a text, a container or the log that finds no memory),
    // ends it through failed, the job's own error report, once the exception is gone. Nothing leaves: an
    // exception out of a thread's entry would end the page's process. Last, the thread's log data goes.
    template <class Job, class Failed>
    static void RunJob(Job&& job, Failed&& failed) noexcept {
        bool threw = false;
        try {
            job();
        } catch (...) {
            threw = true;
        }
        if (threw) {
            try {
                failed();
            } catch (...) {
                // Not even the error report could be made: the job ends silently.
            }
        }
        EndThread();
    }

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
    static void EndThread() noexcept;
    static bool Wait(HANDLE handle);
    // Closes the kept handles of threads that have ended.
    void CloseEnded();

    HANDLE handle_ = nullptr;
    std::vector<HANDLE> kept_;
};

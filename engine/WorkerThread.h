// The worker core of the engine objects (the upload job, the MD5 and the CRC-32 checks): one job at a time on
// a thread of its own, with one lifecycle. Start refuses while a job is going, or waits for one that was
// asked to stop; a job settles its outcome under the core's lock, after which a new Start may begin, even
// from inside the job's final report; the owner abandons the core when it goes and waits for every thread it
// started, so that no code of the library runs once its last reference is gone. Nothing thrown leaves a
// worker: the entry turns it into the job's own failure.
#pragma once

#include <windows.h>

#include <atomic>
#include <vector>

#include "classlib/Owners.h"
#include "support/CriticalSection.h"

class WorkerThread {
public:
    using Lock = ScopedLock<CriticalSection>;

    WorkerThread() = default;
    // Closes the handles; the owner abandoned the core (Abandon) before its fields went.
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // The entry of every worker of Owner: runs owner->Run(settled), where the job sets settled through
    // Settle. When it throws (a text, a container or the log that finds no memory) before its outcome was
    // settled, owner->SettleAfterFault() ends it as the job's own failure; a fault after that came inside
    // the final report, and the job is over. Nothing leaves: an exception out of a thread's entry would end
    // the page's process. Last, the thread's log data goes.
    template <class Owner>
    static unsigned __stdcall Entry(void* owner) noexcept {
        Owner* const self = static_cast<Owner*>(owner);
        bool settled = false;
        try {
            self->Run(settled);
        } catch (...) {
            if (!settled) {
                try {
                    self->SettleAfterFault();
                } catch (...) {
                    // Not even the error report could be made: the job ends silently.
                }
            }
        }
        EndThread();
        return 0;
    }

    // Begins the next job of owner on Entry<Owner>. Refused (false, nothing changed) while a job is going,
    // unless stopRequested() (read under the lock) says it was asked to stop: then this first waits for its
    // worker to end. The previous worker has settled by then: one that reported its outcome may still be
    // inside that report, and this call may come from there (on the worker, or on a thread the report calls
    // into), so it is kept for Abandon to wait for; one that ended silently is waited for now. Then
    // prepare() resets the owner's record under the lock and the new thread begins.
    template <class Owner, class StopRequested, class Prepare>
    bool Start(Owner* owner, StopRequested&& stopRequested, Prepare&& prepare) {
        if (busy_) return false;
        bool stopped = false;
        {
            Lock hold(lock_);
            if (running_) {
                if (!stopRequested()) return false;
                stopped = true;
            }
        }
        if (stopped && !WaitWhileBusy(true)) return false;
        bool reported;
        {
            Lock hold(lock_);
            reported = reported_;
        }
        if (WaitWhileBusy(!reported))
            CloseLatest();
        else
            KeepLatest();
        {
            Lock hold(lock_);
            prepare();
            running_ = true;
            reported_ = false;
        }
        if (!Begin(&Entry<Owner>, owner)) {
            Lock hold(lock_);
            running_ = false;
            return false;
        }
        return true;
    }

    // The job writes its outcome: under the lock, write() returns whether a final report follows. From then
    // on the job no longer counts as going and a new Start may begin, so the worker touches nothing of its
    // owner after this; settled is the flag of Entry. Returns what write() returned.
    template <class Write>
    bool Settle(bool& settled, Write&& write) {
        Lock hold(lock_);
        reported_ = write();
        running_ = false;
        settled = true;
        return reported_;
    }

    // The owner goes: under the lock, onAbandon() tells the job to end without a report; then this waits for
    // every worker (except the caller's own). No Start is taken from then on.
    template <class OnAbandon>
    void Abandon(OnAbandon&& onAbandon) {
        busy_ = true;
        {
            Lock hold(lock_);
            abandoned_ = true;
            onAbandon();
        }
        WaitForAll();
    }

    // True from Start until the job settled its outcome.
    bool IsRunning() const {
        Lock hold(lock_);
        return running_;
    }
    // Set by Abandon: the job ends at once, without a report. Polled by the job's waits.
    const std::atomic<bool>& Abandoned() const { return abandoned_; }
    // Guards what the owner shares between its thread and the worker; Start's prepare and Settle's write
    // run under it.
    Tamsic::Threading::CriticalSection& GetLock() const { return lock_; }

private:
    using Handle = UniqueHandle;

    using Procedure = unsigned(__stdcall*)(void* argument);

    static void EndThread() noexcept;
    // Waits until the thread has ended. A thread that lives in a single-threaded apartment keeps serving COM
    // calls meanwhile: a worker's report can be a call into that very thread, and the worker could not end
    // before it returns. False when the caller is that thread, which can never see its own end.
    static bool Wait(HANDLE handle);
    // When wait, waits for the latest thread to end (true at once when there is none) with Start refused
    // meanwhile, so that a call the wait lets in cannot start a second worker. False when not wait.
    bool WaitWhileBusy(bool wait);
    // Starts the next thread through the C runtime; the previous one was closed or kept first.
    bool Begin(Procedure procedure, void* argument);
    // Closes the latest thread's handle: only once it has ended.
    void CloseLatest() { latest_.Reset(); }
    // Keeps the latest thread for Abandon without waiting now: it is inside its final report, and the caller
    // may be that report.
    void KeepLatest();
    // Closes the kept handles of threads that have ended.
    void CloseEnded();
    // Waits for every thread (except the caller's own) and closes every handle.
    void WaitForAll();

    mutable Tamsic::Threading::CriticalSection lock_;
    bool running_ = false;
    // Set with the outcome when a final report follows, cleared by Start: after the report the worker
    // touches nothing of its owner, so whether it is still inside the report cannot be asked.
    bool reported_ = false;
    std::atomic<bool> abandoned_{false};
    // Set while Start or Abandon waits, and for good by Abandon.
    std::atomic<bool> busy_{false};
    Handle latest_;
    std::vector<Handle> kept_;
};

#include "engine/WorkerThread.h"

#include <objbase.h>
#include <process.h>

#include "Biz/Log.h"

WorkerThread::~WorkerThread() = default;

void WorkerThread::EndThread() noexcept {
    try {
        ReleaseLogThreadData();
    } catch (...) {
    }
}

bool WorkerThread::Begin(Procedure procedure, void* argument) {
    CloseLatest();
    CloseEnded();
    latest_ = Handle(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, procedure, argument, 0, nullptr)));
    return static_cast<bool>(latest_);
}

bool WorkerThread::Wait(HANDLE handle) {
    if (GetThreadId(handle) == GetCurrentThreadId()) return false;
    DWORD index = 0;
    // In a single-threaded apartment this is COM's modal loop; elsewhere a plain wait.
    HRESULT waited = CoWaitForMultipleHandles(0, INFINITE, 1, &handle, &index);
    if (waited == S_OK) return true;
    return WaitForSingleObject(handle, INFINITE) == WAIT_OBJECT_0;
}

bool WorkerThread::WaitWhileBusy(bool wait) {
    if (!wait) return false;
    if (!latest_) return true;
    busy_ = true;
    const bool ended = Wait(latest_.Get());
    busy_ = false;
    return ended;
}

void WorkerThread::KeepLatest() {
    if (!latest_) return;
    kept_.push_back(std::move(latest_));
    CloseEnded();
}

void WorkerThread::CloseEnded() {
    for (size_t i = 0; i < kept_.size();) {
        if (WaitForSingleObject(kept_[i].Get(), 0) == WAIT_OBJECT_0)
            kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(i));
        else
            ++i;
    }
}

void WorkerThread::WaitForAll() {
    if (latest_ && Wait(latest_.Get())) CloseLatest();
    for (size_t i = 0; i < kept_.size();) {
        if (Wait(kept_[i].Get()))
            kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(i));
        else
            ++i;
    }
}

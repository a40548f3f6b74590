#include "engine/WorkerThread.h"

#include <objbase.h>
#include <process.h>

#include "Biz/Log.h"

WorkerThread::~WorkerThread() {
    Close();
    for (HANDLE handle : kept_) CloseHandle(handle);
}

void WorkerThread::EndThread() noexcept {
    try {
        ReleaseLogThreadData();
    } catch (...) {
    }
}

bool WorkerThread::Begin(Procedure procedure, void* argument) {
    Close();
    CloseEnded();
    handle_ = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, procedure, argument, 0, nullptr));
    return handle_ != nullptr;
}

bool WorkerThread::Wait(HANDLE handle) {
    if (GetThreadId(handle) == GetCurrentThreadId()) return false;
    DWORD index = 0;
    // In a single-threaded apartment this is COM's modal loop; elsewhere a plain wait.
    HRESULT waited = CoWaitForMultipleHandles(0, INFINITE, 1, &handle, &index);
    if (waited == S_OK) return true;
    return WaitForSingleObject(handle, INFINITE) == WAIT_OBJECT_0;
}

bool WorkerThread::WaitForEnd() { return !handle_ || Wait(handle_); }

bool WorkerThread::IsCurrent() const { return handle_ && GetThreadId(handle_) == GetCurrentThreadId(); }

void WorkerThread::Close() {
    if (handle_) {
        CloseHandle(handle_);
        handle_ = nullptr;
    }
}

void WorkerThread::Keep() {
    if (!handle_) return;
    kept_.push_back(handle_);
    handle_ = nullptr;
    CloseEnded();
}

void WorkerThread::CloseEnded() {
    for (size_t i = 0; i < kept_.size();) {
        if (WaitForSingleObject(kept_[i], 0) == WAIT_OBJECT_0) {
            CloseHandle(kept_[i]);
            kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

void WorkerThread::WaitForAll() {
    if (handle_ && Wait(handle_)) Close();
    for (size_t i = 0; i < kept_.size();) {
        if (Wait(kept_[i])) {
            CloseHandle(kept_[i]);
            kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

// What a test's sink receives from worker threads, in order, and the wait for it: the recorders of the
// engine's and the checkers' reports keep their reports here.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace testcommon {

template <class Report>
class RecordedReports {
public:
    void Add(const Report& report) {
        // Notified under the lock: once a wait has returned, the worker does not touch the sink again.
        std::lock_guard<std::mutex> hold(lock_);
        reports_.push_back(report);
        changed_.notify_all();
    }
    std::vector<Report> All() const {
        std::lock_guard<std::mutex> hold(lock_);
        return reports_;
    }
    // How many of the reports so far are such that counted(report) holds.
    size_t Count(const std::function<bool(const Report&)>& counted) const {
        std::lock_guard<std::mutex> hold(lock_);
        return CountHeld(counted);
    }
    // Waits until at least count reports are such that counted(report) holds; false when the time ran out.
    template <class Rep, class Period>
    bool WaitForCount(const std::function<bool(const Report&)>& counted, size_t count,
                      std::chrono::duration<Rep, Period> limit) const {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, limit, [&] { return CountHeld(counted) >= count; });
    }

private:
    size_t CountHeld(const std::function<bool(const Report&)>& counted) const {
        size_t n = 0;
        for (const Report& r : reports_)
            if (counted(r)) ++n;
        return n;
    }

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<Report> reports_;
};

}  // namespace testcommon

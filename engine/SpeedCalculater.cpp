#include "engine/SpeedCalculater.h"

#include "support/Platform.h"

void SpeedCalculater::Reset(const int64_t& start) {
    base_ = start;
    speed_ = 0;
    for (int i = 0; i < 3; ++i) {
        deltas_[i] = 0;
        spans_[i] = 0;
    }
    next_ = 0;
    tick_ = Tamsic::Platform::GetTick();
}

uint32_t SpeedCalculater::Calculate(const int64_t& posted, uint32_t shortest) {
    const uint32_t now = Tamsic::Platform::GetTick();
    // Unsigned difference: the 32-bit tick wraps after 49 days.
    const uint32_t span = static_cast<uint32_t>(now - tick_);
    if (span < 1000 || span < shortest) return speed_;
    tick_ = now;
    deltas_[next_] = posted - base_;
    spans_[next_] = span;
    base_ = posted;
    next_ = (next_ + 1) % 3;

    // A sample may span more than a second (the loop was waiting for the link), and the first ones of a
    // pass are fewer than three: the bytes are divided by the time they took, never by the count of samples.
    const int64_t bytes = deltas_[0] + deltas_[1] + deltas_[2];
    const uint64_t milliseconds = static_cast<uint64_t>(spans_[0]) + spans_[1] + spans_[2];
    if (bytes <= 0) {
        speed_ = 0;
    } else {
        // Through single precision, as the speed has always been kept.
        const float rate =
            static_cast<float>(static_cast<double>(bytes) * 1000.0 / static_cast<double>(milliseconds));
        speed_ = rate >= 4294967040.0f ? 0xFFFFFF00u : static_cast<uint32_t>(rate);
    }
    return speed_;
}

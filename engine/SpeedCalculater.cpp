#include "engine/SpeedCalculater.h"

#include "support/Platform.h"

void SpeedCalculater::Reset(const int64_t& start) {
    base_ = start;
    speed_ = 0;
    deltas_[0] = deltas_[1] = deltas_[2] = 0;
    next_ = 0;
    tick_ = Tamsic::Platform::GetTick();
}

uint32_t SpeedCalculater::Calculate(const int64_t& posted) {
    const uint32_t now = Tamsic::Platform::GetTick();
    // Unsigned difference: the 32-bit tick wraps after 49 days.
    if (static_cast<uint32_t>(now - tick_) < 1000) return speed_;
    tick_ = now;
    deltas_[next_] = posted - base_;
    base_ = posted;
    next_ = (next_ + 1) % 3;

    const uint64_t sum = static_cast<uint64_t>(deltas_[0] + deltas_[1] + deltas_[2]);
    if (sum == 0) {
        speed_ = 0;
    } else {
        // The mean goes through single precision: 1,000,000,000 over three samples is 333,333,344.
        const float mean = static_cast<float>(static_cast<double>(sum) / 3.0);
        speed_ = mean >= 4294967040.0f ? 0xFFFFFF00u : static_cast<uint32_t>(mean);
    }
    return speed_;
}

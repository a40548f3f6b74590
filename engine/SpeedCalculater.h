// Transfer speed of one pass of the send loop: the bytes of the last three samples over the time those
// samples span, a sample being taken at most once per 1000 ms of the platform tick (or per a longer span the
// caller asks for).
#pragma once

#include <cstdint>

class SpeedCalculater {
public:
    SpeedCalculater() = default;
    virtual ~SpeedCalculater() = default;

    // start is the count the pass begins at: a resumed upload passes its resume offset, so the bytes the
    // server already held are not taken for speed.
    void Reset(const int64_t& start = 0);
    // Bytes per second for the posted count so far; between samples the last result. A call sooner than
    // shortest milliseconds after the last sample takes none.
    uint32_t Calculate(const int64_t& posted, uint32_t shortest = 1000);

private:
    int64_t base_ = 0;
    uint32_t speed_ = 0;
    int64_t deltas_[3] = {0, 0, 0};  // bytes of each sample
    uint32_t spans_[3] = {0, 0, 0};  // milliseconds each sample covers
    int next_ = 0;                   // ring entry of the next sample
    uint32_t tick_ = 0;              // milliseconds of the platform tick
};

// The transfer speed with the tick in the test's hand.
#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "engine/SpeedCalculater.h"

using namespace enginetest;

namespace {

struct Sample {
    DWORD afterMilliseconds;  // since the previous call
    int64_t posted;
    uint32_t speed;
    uint32_t shortest = 1000;  // the span the caller asks a sample to cover at least
};

void RunSamples(SpeedCalculater& calculater, const std::vector<Sample>& samples) {
    int i = 0;
    for (const Sample& s : samples) {
        TickSeam::Advance(s.afterMilliseconds);
        EXPECT_EQ(s.speed, calculater.Calculate(s.posted, s.shortest))
            << "sample " << i << " at " << s.posted;
        ++i;
    }
}

TEST(SpeedCalculater, IsTheBytesOfTheLastThreeSamplesOverTheTimeTheySpan) {
    TickSeam tick;
    SpeedCalculater calculater;
    calculater.Reset();
    RunSamples(calculater, {
                               {500, 100000, 0},        // less than 1000 ms after Reset
                               {500, 300000, 300000},   // one sample: its bytes over its second
                               {1000, 600000, 300000},  // two: their bytes over their two seconds
                               {1000, 900000, 300000},
                               {1000, 900000, 200000},  // the window holds 300,000, 300,000 and 0
                               {1000, 900000, 100000},
                               {1000, 900000, 0},
                           });
}

// The loop samples when it can: a second and a bit, or eight seconds while one view drained into a slow
// link. The window is three samples, however long each one is.
TEST(SpeedCalculater, AnUnevenClockStillGivesTheRateOfTheLink) {
    TickSeam tick;
    SpeedCalculater calculater;
    calculater.Reset();
    RunSamples(calculater,
               {
                   {1000, 125000, 125000},
                   {2700, 462500, 125000},
                   {1300, 625000, 125000},
                   {1600, 825000, 125000},
                   // 1 MiB in 8 s: 1,411,076 bytes over the 1,300 + 1,600 + 8,000 ms of the window
                   {8000, 1873576, 129456},
                   {999, 2000000, 129456},   // not yet a sample
                   {1001, 2000000, 118534},  // 1,375,000 bytes over 1,600 + 8,000 + 2,000 ms
               });
}

TEST(SpeedCalculater, SamplesAtMostOncePerSecond) {
    TickSeam tick;
    SpeedCalculater calculater;
    calculater.Reset();
    RunSamples(calculater, {
                               {1000, 300000, 300000},
                               {999, 900000, 300000},  // 999 ms: the previous speed
                               {1, 900000, 450000},    // 1000 ms after the sample: a new one
                           });
}

// The send loop samples as bursts of a slow link begin, and from a report only after a quiet spell.
TEST(SpeedCalculater, ACallerMayAskForALongerSpanButNeverAShorterOne) {
    TickSeam tick;
    SpeedCalculater calculater;
    calculater.Reset();
    RunSamples(calculater, {
                               {1000, 300000, 300000},
                               {1500, 450000, 300000, 2000},  // 1,500 ms: not yet 2,000
                               {500, 600000, 200000, 2000},   // 600,000 bytes over 3,000 ms
                               {999, 900000, 200000, 0},      // never sooner than 1,000 ms
                           });
}

TEST(SpeedCalculater, RoundsThroughSinglePrecision) {
    TickSeam tick;
    SpeedCalculater calculater;
    calculater.Reset();
    RunSamples(calculater, {{3000, 100, 33}});

    // 1,000,000,001 bytes a second is 1,000,000,000 in single precision.
    calculater.Reset();
    RunSamples(calculater, {{1000, 1000000001, 1000000000}});
}

TEST(SpeedCalculater, ALongSampleIsDividedByItsTime) {
    TickSeam tick;
    SpeedCalculater calculater;
    calculater.Reset();
    // 1,500 ms of bytes in one sample.
    RunSamples(calculater, {{1500, 300000, 200000}});
}

TEST(SpeedCalculater, SurvivesTheTickWrap) {
    TickSeam tick(0xFFFFFE00u);
    SpeedCalculater calculater;
    calculater.Reset();
    RunSamples(calculater, {{1000, 300000, 300000}, {2000, 600000, 200000}});
}

TEST(SpeedCalculater, AResumedPassCountsOnlyItsOwnBytes) {
    TickSeam tick;
    SpeedCalculater calculater;
    calculater.Reset(5000000);
    RunSamples(calculater, {{1000, 5300000, 300000}});
}

}  // namespace

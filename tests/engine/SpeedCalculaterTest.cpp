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
};

void RunSamples(SpeedCalculater& calculater, const std::vector<Sample>& samples) {
    int i = 0;
    for (const Sample& s : samples) {
        TickSeam::Advance(s.afterMilliseconds);
        EXPECT_EQ(s.speed, calculater.Calculate(s.posted)) << "sample " << i << " at " << s.posted;
        ++i;
    }
}

TEST(SpeedCalculater, IsTheMeanOfTheLastThreeSamples) {
    TickSeam tick;
    SpeedCalculater calculater;
    calculater.Reset();
    RunSamples(calculater, {
                               {500, 100000, 0},  // less than 1000 ms after Reset
                               {500, 300000, 100000},
                               {1000, 600000, 200000},
                               {1000, 900000, 300000},
                               {1000, 900000, 200000},
                               {1000, 900000, 100000},
                               {1000, 900000, 0},
                           });
}

TEST(SpeedCalculater, SamplesAtMostOncePerSecond) {
    TickSeam tick;
    SpeedCalculater calculater;
    calculater.Reset();
    RunSamples(calculater, {
                               {1000, 300000, 100000},
                               {999, 900000, 100000},  // 999 ms: the previous speed
                               {1, 900000, 300000},    // 1000 ms after the sample: a new one
                           });
}

TEST(SpeedCalculater, RoundsThroughSinglePrecision) {
    TickSeam tick;
    SpeedCalculater calculater;
    calculater.Reset();
    RunSamples(calculater, {{1000, 100, 33}});

    calculater.Reset();
    RunSamples(calculater, {{1000, 1000000000, 333333344}});
}

TEST(SpeedCalculater, ALongSampleCountsAsOne) {
    TickSeam tick;
    SpeedCalculater calculater;
    calculater.Reset();
    // 1,500 ms of bytes in one sample: the count is not divided by the time.
    RunSamples(calculater, {{1500, 300000, 100000}});
}

TEST(SpeedCalculater, SurvivesTheTickWrap) {
    TickSeam tick(0xFFFFFE00u);
    SpeedCalculater calculater;
    calculater.Reset();
    RunSamples(calculater, {{1000, 300000, 100000}, {1000, 600000, 200000}});
}

TEST(SpeedCalculater, AResumedPassCountsOnlyItsOwnBytes) {
    TickSeam tick;
    SpeedCalculater calculater;
    calculater.Reset(5000000);
    RunSamples(calculater, {{1000, 5300000, 100000}});
}

}  // namespace

// The failure policy at the COM boundary: what Guarded answers for each way a body can end, and the early
// return that evaluates its expression once.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <new>
#include <stdexcept>

#include "classlib/ComResult.h"

namespace {

struct EndCase {
    const char* name;
    std::function<HRESULT()> body;
    HRESULT expected;
};

TEST(ComResultTest, GuardedAnswersWhatTheBodyReturnedOrHowItThrew) {
    const EndCase cases[] = {
        {"returns S_OK", [] { return S_OK; }, S_OK},
        {"returns S_FALSE", [] { return S_FALSE; }, S_FALSE},
        {"returns a failure", [] { return E_ACCESSDENIED; }, E_ACCESSDENIED},
        {"runs out of memory", []() -> HRESULT { throw std::bad_alloc(); }, E_OUTOFMEMORY},
        {"an allocation finds no memory",
         []() -> HRESULT {
             ::operator delete(::operator new(std::numeric_limits<size_t>::max() / 2));
             return S_OK;
         },
         E_OUTOFMEMORY},
        {"throws a standard exception", []() -> HRESULT { throw std::runtime_error("broken"); },
         E_UNEXPECTED},
        {"throws something else", []() -> HRESULT { throw 7; }, E_UNEXPECTED},
    };
    for (const EndCase& c : cases) EXPECT_EQ(Guarded(c.body), c.expected) << c.name;
}

TEST(ComResultTest, GuardedRunsABodyWithoutResultAndAnswersHowItEnded) {
    int runs = 0;
    EXPECT_EQ(Guarded([&] { ++runs; }), S_OK);
    EXPECT_EQ(Guarded([&] {
                  ++runs;
                  throw std::bad_alloc();
              }),
              E_OUTOFMEMORY);
    EXPECT_EQ(Guarded([&] {
                  ++runs;
                  throw std::logic_error("broken");
              }),
              E_UNEXPECTED);
    EXPECT_EQ(runs, 3);
}

HRESULT ReturnIfFailed(HRESULT answer, int& evaluations) {
    KORVANE_RETURN_IF_FAILED((++evaluations, answer));
    return S_FALSE;  // reached only past a success
}

TEST(ComResultTest, ReturnIfFailedEvaluatesOnceAndReturnsOnlyFailures) {
    const struct {
        HRESULT answer;
        HRESULT expected;
    } cases[] = {{S_OK, S_FALSE}, {S_FALSE, S_FALSE}, {E_FAIL, E_FAIL}, {E_OUTOFMEMORY, E_OUTOFMEMORY}};
    for (const auto& c : cases) {
        int evaluations = 0;
        EXPECT_EQ(ReturnIfFailed(c.answer, evaluations), c.expected) << std::hex << c.answer;
        EXPECT_EQ(evaluations, 1) << std::hex << c.answer;
    }
}

}  // namespace

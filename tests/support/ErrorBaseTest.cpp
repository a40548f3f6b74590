#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "support/CriticalSection.h"
#include "support/ErrorBase.h"

TEST(ErrorBase, FlagRisesOnceAndStaysWhileTheCodeFollowsTheLastError) {
    Tamsic::System::ErrorBase error;
    EXPECT_FALSE(error.HasError());
    EXPECT_EQ(error.GetErrorCode(), 0);
    error.SetError(3);
    error.SetError(0);
    EXPECT_TRUE(error.HasError()) << "a later code, even 0, never clears the flag";
    EXPECT_EQ(error.GetErrorCode(), 0);

    // Owners destroy the derived objects through a base pointer.
    struct Derived : Tamsic::System::ErrorBase {
        explicit Derived(bool* gone) : gone_(gone) {}
        ~Derived() override { *gone_ = true; }
        bool* gone_;
    };
    bool gone = false;
    std::unique_ptr<Tamsic::System::ErrorBase> base(new Derived(&gone));
    base.reset();
    EXPECT_TRUE(gone);
}

TEST(CriticalSection, KeepsThreadsOutOfEachOthersUpdates) {
    Tamsic::Threading::CriticalSection lock;
    long long counter = 0;  // plain, on purpose: only the lock keeps the updates whole
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50000; ++i) {
                if (i % 2) {
                    lock.Lock();
                    counter = counter + 1;
                    lock.Unlock();
                } else {
                    Tamsic::Threading::ScopedLock hold(lock);
                    counter = counter + 1;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 200000);

    // The owner may enter again while it holds the section (a Windows critical section is recursive).
    lock.Lock();
    lock.Lock();
    lock.Unlock();
    lock.Unlock();
    std::thread other([&] {
        Tamsic::Threading::ScopedLock hold(lock);
        counter = -1;
    });
    other.join();
    EXPECT_EQ(counter, -1) << "the section was left as often as it was entered";
}

// A report's apartment pair: it leaves only an apartment it entered, so a thread that was in the
// multithreaded apartment before the report is still in it afterwards, and one that was in a single-threaded
// apartment keeps it.
#include "com/ApartmentScope.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

APTTYPE Apartment() {
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    return SUCCEEDED(CoGetApartmentType(&type, &qualifier)) ? type : static_cast<APTTYPE>(-2);
}

const APTTYPE kNone = static_cast<APTTYPE>(-2);

TEST(ApartmentScope, EntersAndLeavesAFreshThreadsApartment) {
    std::thread([] {
        {
            ApartmentScope scope;
            EXPECT_EQ(scope.Result(), S_OK);
            EXPECT_TRUE(Apartment() == APTTYPE_STA || Apartment() == APTTYPE_MAINSTA);
        }
        EXPECT_EQ(Apartment(), kNone) << "the scope did not leave the apartment it entered";
    }).join();
}

TEST(ApartmentScope, KeepsTheMultithreadedApartmentItWasRefused) {
    std::thread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        {
            ApartmentScope scope;
            EXPECT_EQ(scope.Result(), RPC_E_CHANGED_MODE);
        }
        EXPECT_EQ(Apartment(), APTTYPE_MTA) << "CoUninitialize after a refused CoInitializeEx";
        CoUninitialize();
    }).join();
}

TEST(ApartmentScope, BalancesAnEnterThatFoundItsApartment) {
    std::thread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        {
            ApartmentScope scope;
            EXPECT_EQ(scope.Result(), S_FALSE);
        }
        EXPECT_NE(Apartment(), kNone) << "the scope left the thread's own apartment";
        CoUninitialize();
        EXPECT_EQ(Apartment(), kNone) << "the scope did not balance its S_FALSE";
    }).join();
}

}  // namespace

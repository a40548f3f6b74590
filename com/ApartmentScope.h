// One CoInitializeEx / CoUninitialize pair: a worker thread enters a single-threaded apartment for one report
// and leaves it again. The leave comes only after an enter that succeeded (S_OK or S_FALSE): a thread that
// already lives in the multithreaded apartment is refused (RPC_E_CHANGED_MODE) and must keep its apartment.
#pragma once

#include <objbase.h>

#include "classlib/Owners.h"

class ApartmentScope {
public:
    ApartmentScope()
        : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)), entered_(SUCCEEDED(result_)) {}

    HRESULT Result() const { return result_; }

private:
    HRESULT result_;
    UniqueApartment entered_;
};

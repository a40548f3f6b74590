// How our code turns failures into HRESULTs: an early return for a failed HRESULT, and the one place where a
// C++ exception becomes an HRESULT. Every COM method that can allocate and every thread entry of ours runs
// its body through Guarded, so no exception leaves into a caller that knows nothing of C++ (the page, the
// system's thread start): CString and the standard containers throw std::bad_alloc when memory runs out.
#pragma once

#include <windows.h>

#include <new>
#include <type_traits>
#include <utility>

// Early return for HRESULTs; the expression is evaluated once.
#define KORVANE_RETURN_IF_FAILED(expression)       \
    do {                                           \
        const HRESULT korvaneHr_ = (expression);   \
        if (FAILED(korvaneHr_)) return korvaneHr_; \
    } while (0)

// Runs body and answers what it returned (S_OK for a body that returns nothing), or, when it threw,
// E_OUTOFMEMORY for std::bad_alloc and E_UNEXPECTED for anything else. Callers that have no one to tell (a
// report, a thread's entry) drop the answer: what failed is left undone and the caller goes on.
template <class Body>
HRESULT Guarded(Body&& body) noexcept {
    try {
        if constexpr (std::is_void_v<decltype(std::forward<Body>(body)())>) {
            std::forward<Body>(body)();
            return S_OK;
        } else {
            return std::forward<Body>(body)();
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

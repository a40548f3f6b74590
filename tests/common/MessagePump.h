// The message pump of a test's thread: it dispatches window messages, and so the COM calls and posted
// notices that arrive as messages, while the test waits.
#pragma once

#include <windows.h>

#include <functional>

namespace testcommon {

// Dispatches this thread's messages for that long. When stop is given and holds after a round of messages,
// returns false at once; true when the time is up.
inline bool PumpMessages(DWORD milliseconds, const std::function<bool()>& stop = nullptr) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (stop && stop()) return false;
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= milliseconds) return true;
        MsgWaitForMultipleObjectsEx(0, nullptr, milliseconds - elapsed, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

// Pumps until done() holds or the time is up; true when it holds.
inline bool PumpMessagesUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= timeoutMs) return done();
        PumpMessages(10);
    }
    return true;
}

}  // namespace testcommon

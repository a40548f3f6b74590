// Holds the Wine prefix's desktop for a test run. Wine starts a prefix's desktop process with the
// environment of the first program that needs it, and keeps it while any program uses it. Tests that make
// no windows run without DISPLAY (so that a message box returns at once): if one of them were first, the
// desktop would have no display, and every window test of the run would fail to make its windows. The test
// command starts this program with the run's display before any test, and ends it after the last one.
#include <windows.h>

#include <cstdio>

int wmain() {
    // A desktop without a display driver makes no top-level windows: try one, hidden.
    HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (!probe) {
        std::printf("the desktop makes no windows (error %lu)\n", GetLastError());
        return 1;
    }
    DestroyWindow(probe);
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    // Until the test command ends the run (stdin closes, or the process is ended).
    char buffer[64];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0) {
    }
    return 0;
}

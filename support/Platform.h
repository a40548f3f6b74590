// The two platform calls that tests must be able to replace: the message box (it blocks under a display)
// and the millisecond tick (progress and speed run on a 1000 ms cadence).
#pragma once

#include <windows.h>

namespace Tamsic {
namespace Platform {

using MessageBoxFunction = int (*)(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);
using TickFunction = DWORD (*)();

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);
DWORD GetTick();

// Null restores the platform's own function. Returns the previous replacement (or null).
MessageBoxFunction SetMessageBoxFunction(MessageBoxFunction replacement);
TickFunction SetTickFunction(TickFunction replacement);

}  // namespace Platform
}  // namespace Tamsic

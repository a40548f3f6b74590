#include "support/Platform.h"

#include <atomic>

namespace Tamsic {
namespace Platform {
namespace {
std::atomic<MessageBoxFunction> messageBoxReplacement{nullptr};
std::atomic<TickFunction> tickReplacement{nullptr};
}  // namespace

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
    if (MessageBoxFunction f = messageBoxReplacement.load()) return f(owner, text, caption, type);
    return MessageBoxW(owner, text, caption, type);
}

DWORD GetTick() {
    if (TickFunction f = tickReplacement.load()) return f();
    return GetTickCount();
}

MessageBoxFunction SetMessageBoxFunction(MessageBoxFunction replacement) {
    return messageBoxReplacement.exchange(replacement);
}

TickFunction SetTickFunction(TickFunction replacement) { return tickReplacement.exchange(replacement); }

}  // namespace Platform
}  // namespace Tamsic

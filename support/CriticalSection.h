// The engine's names for the critical section and its scoped hold, which live with every other owner.
#pragma once

#include "classlib/Owners.h"

namespace Tamsic {
namespace Threading {
using ::CriticalSection;
using ::ScopedLock;
}  // namespace Threading
}  // namespace Tamsic

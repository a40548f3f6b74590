// How an upload reports to its owner. The poster calls these on its worker thread; the owner overrides all
// four. postConnect is part of the interface but the poster never sends it.
#pragma once

#include <cstdint>

#include "classlib/CString.h"

class KorvaneEvent {
public:
    virtual void postComplete(int taskId) {}
    virtual void postError(int taskId, int errorCode) {}
    // speed is the size text of the current speed; the receiver keeps its own copy.
    virtual void postProcess(int taskId, int64_t posted, CString speed) {}
    virtual void postConnect(int taskId) {}

protected:
    // Not deleted through this interface: the owner implements it on itself.
    ~KorvaneEvent() = default;
};

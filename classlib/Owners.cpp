// The close functions of the socket owners: the socket headers must come before <windows.h>, so only this
// unit of the class library includes them.
#include <winsock2.h>

#include "classlib/Owners.h"

static_assert(sizeof(SOCKET) == sizeof(UINT_PTR) && INVALID_SOCKET == ~static_cast<UINT_PTR>(0),
              "a socket owner holds a SOCKET as a UINT_PTR");

namespace owner_kinds {

void CloseSocket(UINT_PTR socket) { closesocket(static_cast<SOCKET>(socket)); }

void EndWinsock(bool) { WSACleanup(); }

}  // namespace owner_kinds

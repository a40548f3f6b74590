#pragma once

#include "classlib/CString.h"

// True when the whole text has dotted-quad form (digits only; the numbers' values are not tested).
bool IsIpAddress(const CString& host);
// Dotted IPv4 text for a host text: "127.0.0.1" for "localhost", a dotted quad unchanged, else the first
// address of a name lookup, or the empty text when the name does not resolve.
CString ResolveHostIp(const CString& host);
// The IPv4 address of a dotted quad in network byte order: four decimal numbers from 0 to 255, each of one
// to three digits, leading zeros read as decimal ("010" is 10). Anything else gives INADDR_NONE.
unsigned long ParseDottedQuad(const CString& text);

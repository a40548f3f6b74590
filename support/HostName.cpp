// The only unit that includes xpressive: it is slow to compile.
#include "support/HostName.h"

#include <winsock2.h>

#include <windows.h>

#include <boost/xpressive/xpressive.hpp>
#include <cstring>
#include <string>

#include "classlib/Owners.h"
#include "support/TextConvert.h"

bool IsIpAddress(const CString& host) {
    const std::string text = CStringToAnsi(host);
    const boost::xpressive::sregex pattern =
        boost::xpressive::sregex::compile("\\d{1,3}[.]\\d{1,3}[.]\\d{1,3}[.]\\d{1,3}");
    return boost::xpressive::regex_match(text, pattern);
}

CString ResolveHostIp(const CString& host) {
    // Only the exact name is taken as the loopback: a name that merely contains it ("localhost.example.com")
    // is a real host somewhere else and must be looked up.
    if (host.CompareNoCase(L"localhost") == 0) return CString(L"127.0.0.1");
    if (IsIpAddress(host)) return host;

    WSADATA data;
    const UniqueWinsockStartup started(WSAStartup(0x0202, &data) == 0);
    const std::string name = WideToCodePage(host.GetString(), host.GetLength(), CP_THREAD_ACP);
    CString result;
    // gethostbyname's result lives in per-thread storage: copy the text before any further socket call.
    if (hostent* entry = gethostbyname(name.c_str())) {
        if (entry->h_addrtype == AF_INET && entry->h_addr_list && entry->h_addr_list[0]) {
            in_addr address;
            std::memcpy(&address, entry->h_addr_list[0], sizeof(address));
            if (const char* dotted = inet_ntoa(address)) {
                wchar_t* wide = Utf8ToWide(dotted);
                result = wide;
                delete[] wide;
            }
        }
    }
    return result;
}

unsigned long ParseDottedQuad(const CString& text) {
    const wchar_t* s = text.GetString();
    const int length = text.GetLength();
    unsigned long parts[4] = {};
    int at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= length || s[at] != L'.') return INADDR_NONE;
            ++at;
        }
        int digits = 0;
        unsigned long value = 0;
        while (at < length && s[at] >= L'0' && s[at] <= L'9' && digits < 3) {
            value = value * 10 + static_cast<unsigned long>(s[at] - L'0');
            ++at;
            ++digits;
        }
        if (digits == 0 || value > 255) return INADDR_NONE;
        parts[part] = value;
    }
    if (at != length) return INADDR_NONE;
    return htonl((parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3]);
}

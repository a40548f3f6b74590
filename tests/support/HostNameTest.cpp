#include <winsock2.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/HostName.h"
#include "support/TextConvert.h"

namespace {

// What the platform's own lookup gives for a name: what ResolveHostIp must give when it looks the name up.
std::wstring DirectLookup(const char* name) {
    WSADATA data;
    if (WSAStartup(0x0202, &data) != 0) return L"<no socket library>";
    std::wstring result;
    if (hostent* entry = gethostbyname(name)) {
        if (entry->h_addr_list && entry->h_addr_list[0]) {
            in_addr address;
            std::memcpy(&address, entry->h_addr_list[0], sizeof(address));
            const std::string dotted = inet_ntoa(address);
            result.assign(dotted.begin(), dotted.end());
        }
    }
    WSACleanup();
    return result;
}

// True while the process has started the socket library: a socket can be made.
bool SocketLibraryStarted() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return WSAGetLastError() != WSANOTINITIALISED;
    closesocket(s);
    return true;
}

}  // namespace

TEST(IsIpAddress, DottedQuadForm) {
    const struct {
        const wchar_t* host;
        bool dotted;
    } cases[] = {
        {L"127.0.0.1", true},   {L"192.168.1.10", true}, {L"999.999.999.999", true},
        {L"01.002.3.4", true},  {L"300.1.1.1", true},    {L"1.2.3", false},
        {L"1.2.3.4.5", false},  {L" 1.2.3.4", false},    {L"1.2.3.4 ", false},
        {L"1234.1.1.1", false}, {L"1..2.3", false},      {L"a.b.c.d", false},
        {L"1.2.3.4x", false},   {L"localhost", false},   {L"", false},
        {L"1,2,3,4", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsIpAddress(c.host), c.dotted) << "[" << c.host << "]";
}

TEST(ParseDottedQuad, FourDecimalNumbersUpTo255) {
    const struct {
        const wchar_t* text;
        const char* address;  // the four bytes in network order; null for INADDR_NONE
    } cases[] = {
        {L"127.0.0.1", "\x7F\x00\x00\x01"},
        {L"192.168.001.010", "\xC0\xA8\x01\x0A"},
        {L"0.0.0.0", "\x00\x00\x00\x00"},
        {L"255.255.255.254", "\xFF\xFF\xFF\xFE"},
        {L"08.09.010.011", "\x08\x09\x0A\x0B"},
        {L"256.1.1.1", nullptr},
        {L"1.2.3.999", nullptr},
        {L"1.2.3", nullptr},
        {L"1.2.3.4.5", nullptr},
        {L"1.2.3.0004", nullptr},
        {L"1..2.3", nullptr},
        {L" 1.2.3.4", nullptr},
        {L"1.2.3.4 ", nullptr},
        {L"0x7f.0.0.1", nullptr},
        {L"2130706433", nullptr},
        {L"", nullptr},
    };
    for (const auto& c : cases) {
        const unsigned long address = ParseDottedQuad(c.text);
        if (c.address)
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(&address), 4), std::string(c.address, 4))
                << "[" << c.text << "]";
        else
            EXPECT_EQ(address, INADDR_NONE) << "[" << c.text << "]";
    }
}

TEST(ResolveHostIp, ExactLocalhostInAnyCaseIsTheLoopbackWithoutALookup) {
    ASSERT_FALSE(SocketLibraryStarted());
    for (const wchar_t* host : {L"localhost", L"LOCALHOST", L"LocalHost"}) {
        EXPECT_STREQ(ResolveHostIp(host), L"127.0.0.1") << host;
        EXPECT_FALSE(SocketLibraryStarted()) << host;
    }
}

TEST(ResolveHostIp, DottedQuadsComeBackUnchanged) {
    for (const wchar_t* host : {L"127.0.0.1", L"192.168.1.10", L"300.1.1.1", L"999.999.999.999"})
        EXPECT_STREQ(ResolveHostIp(host), host);
}

TEST(ResolveHostIp, OtherNamesAreLookedUp) {
    // Names that merely contain "localhost" are hosts somewhere else; the rest are not dotted quads.
    const char* names[] = {"localhost.example.com", "mylocalhost", "localhost1",
                           "nosuchhost.invalid",    "1.2.3",       " 127.0.0.1"};
    for (const char* name : names) {
        const std::wstring wide(name, name + std::strlen(name));
        EXPECT_EQ(std::wstring(ResolveHostIp(wide.c_str()).GetString()), DirectLookup(name)) << name;
    }
    EXPECT_STREQ(ResolveHostIp(L"nosuchhost.invalid"), L"")
        << "a name that does not resolve gives the empty text";
    EXPECT_STRNE(ResolveHostIp(L"localhost.example.com"), L"127.0.0.1");
}

TEST(ResolveHostIp, LookupLeavesTheSocketLibraryStartUpCountAsItWas) {
    ASSERT_FALSE(SocketLibraryStarted());
    EXPECT_STREQ(ResolveHostIp(L"nosuchhost.invalid"), L"");
    EXPECT_FALSE(SocketLibraryStarted()) << "a lookup must not leave the library started";

    // With a start-up of the caller's own, the count neither grows nor drops.
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0202, &data), 0);
    EXPECT_STREQ(ResolveHostIp(L"nosuchhost.invalid"), L"");
    ResolveHostIp(L"mylocalhost");
    EXPECT_TRUE(SocketLibraryStarted()) << "the caller's start-up must still stand";
    WSACleanup();
    EXPECT_FALSE(SocketLibraryStarted()) << "one clean-up ends the caller's start-up";
}

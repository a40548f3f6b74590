#include <winsock2.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Network/TcpConnection.h"
#include "common/LoopbackListener.h"

namespace {

// True while the process has started the socket library: a socket can be made.
bool SocketLibraryStarted() {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return WSAGetLastError() != WSANOTINITIALISED;
    closesocket(s);
    return true;
}

bool IsOpenSocket(SOCKET s) {
    int type = 0;
    int size = sizeof(type);
    return getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &size) == 0;
}

std::string Bytes(const void* data, size_t size) { return std::string(static_cast<const char*>(data), size); }

}  // namespace

TEST(TcpConnectionAddress, SetAddressResolvesAndStoresNetworkOrder) {
    const struct {
        const wchar_t* host;
        short port;
        const char* address;  // the four bytes as stored
        std::string portBytes;
    } cases[] = {
        {L"localhost", 21, "\x7F\x00\x00\x01", std::string("\x00\x15", 2)},
        {L"LocalHost", 21, "\x7F\x00\x00\x01", std::string("\x00\x15", 2)},
        {L"192.168.1.10", 8080, "\xC0\xA8\x01\x0A", "\x1F\x90"},
        {L"127.0.0.1", static_cast<short>(65535), "\x7F\x00\x00\x01",
         "\xFF\xFF"},                                                        // the port is taken unsigned
        {L"300.1.1.1", 21, "\xFF\xFF\xFF\xFF", std::string("\x00\x15", 2)},  // INADDR_NONE
        // Leading zeros are decimal, never octal: 010 is ten, not eight.
        {L"192.168.001.010", 21, "\xC0\xA8\x01\x0A", std::string("\x00\x15", 2)},
        {L"010.000.000.001", 21, "\x0A\x00\x00\x01", std::string("\x00\x15", 2)},
        {L"127.0.0.09", 21, "\x7F\x00\x00\x09", std::string("\x00\x15", 2)},
        {L"1.2.3.256", 21, "\xFF\xFF\xFF\xFF", std::string("\x00\x15", 2)},
    };
    for (const auto& c : cases) {
        TcpConnection connection;
        connection.SetAddress(c.host, c.port);
        const sockaddr_in& address = connection.GetAddress();
        EXPECT_EQ(address.sin_family, AF_INET) << c.host;
        EXPECT_EQ(Bytes(&address.sin_addr, 4), std::string(c.address, 4)) << c.host;
        EXPECT_EQ(Bytes(&address.sin_port, 2), c.portBytes) << c.host;
    }
    TcpConnection dotted;
    dotted.SetAddress(L"300.1.1.1", 21);
    EXPECT_EQ(dotted.GetAddress().sin_addr.s_addr, INADDR_NONE);
}

TEST(TcpConnectionAddress, UnresolvableHostStoresTheFailureValueAndConnectFails) {
    SocketLibrary library;
    TcpConnection connection;
    connection.SetAddress(L"nosuchhost.invalid", 21);
    EXPECT_EQ(connection.GetAddress().sin_addr.s_addr, inet_addr(""))
        << "the value inet_addr gives for no text";
    EXPECT_FALSE(connection.Connect());
    connection.Close();
}

TEST(TcpConnectionAddress, AddressConstructorCopiesFamilyPortAndAddress) {
    sockaddr_in from;
    std::memset(&from, 0xAB, sizeof(from));
    from.sin_family = AF_INET;
    from.sin_port = htons(2121);
    from.sin_addr.s_addr = inet_addr("127.0.0.1");
    TcpConnection connection(from);
    EXPECT_EQ(connection.GetAddress().sin_family, AF_INET);
    EXPECT_EQ(connection.GetAddress().sin_port, htons(2121));
    EXPECT_EQ(connection.GetAddress().sin_addr.s_addr, inet_addr("127.0.0.1"));
    EXPECT_EQ(connection.GetSocket(), INVALID_SOCKET);
}

TEST(TcpConnection, ConnectsToAListeningLoopbackPort) {
    SocketLibrary library;
    LoopbackListener listener;
    ASSERT_NE(listener.Port(), 0);
    TcpConnection connection;
    connection.SetAddress(L"127.0.0.1", static_cast<short>(listener.Port()));
    ASSERT_TRUE(connection.Connect());
    ASSERT_NE(connection.GetSocket(), INVALID_SOCKET);
    OwnedSocket peer(listener.Accept());
    ASSERT_NE(peer, INVALID_SOCKET);

    ASSERT_EQ(send(connection.GetSocket(), "USER a\r\n", 8, 0), 8);
    char buffer[16] = {};
    ASSERT_EQ(recv(peer, buffer, sizeof(buffer), 0), 8);
    EXPECT_EQ(std::string(buffer, 8), "USER a\r\n");
    ASSERT_EQ(send(peer, "220 ok\r\n", 8, 0), 8);
    EXPECT_EQ(recv(connection.GetSocket(), buffer, sizeof(buffer), 0), 8) << "the socket is blocking again";

    connection.Close();
    EXPECT_EQ(connection.GetSocket(), INVALID_SOCKET);
    EXPECT_EQ(recv(peer, buffer, sizeof(buffer), 0), 0) << "the peer sees the close";
}

TEST(TcpConnection, SecondCloseLeavesAnotherSocketAlone) {
    SocketLibrary library;
    LoopbackListener listener;
    TcpConnection connection;
    connection.SetAddress(L"localhost", static_cast<short>(listener.Port()));
    ASSERT_TRUE(connection.Connect());
    const SOCKET old = connection.GetSocket();
    connection.Close();
    // The platform may hand the same handle value to the next socket: a stale Close must not reach it.
    SOCKET other = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(other, INVALID_SOCKET);
    connection.Close();
    EXPECT_TRUE(IsOpenSocket(other)) << "handle " << old << " reused as " << other;
    closesocket(other);
}

TEST(TcpConnection, ClosedLoopbackPortRefusesAndTheSocketWaitsForClose) {
    SocketLibrary library;
    TcpConnection connection;
    connection.SetAddress(L"127.0.0.1", static_cast<short>(ClosedLoopbackPort()));
    EXPECT_FALSE(connection.Connect());
    const SOCKET failed = connection.GetSocket();
    EXPECT_NE(failed, INVALID_SOCKET) << "the owner closes the socket of a failed connect";
    EXPECT_TRUE(IsOpenSocket(failed));
    connection.Close();
    EXPECT_EQ(connection.GetSocket(), INVALID_SOCKET);
}

TEST(TcpConnection, ConnectAgainClosesTheEarlierSocket) {
    SocketLibrary library;
    LoopbackListener listener;
    TcpConnection connection;
    connection.SetAddress(L"127.0.0.1", static_cast<short>(listener.Port()));
    ASSERT_TRUE(connection.Connect());
    OwnedSocket firstPeer(listener.Accept());
    ASSERT_TRUE(connection.Connect());
    char byte;
    EXPECT_EQ(recv(firstPeer, &byte, 1, 0), 0) << "the first connection was closed, not leaked";
    connection.Close();
}

TEST(TcpConnection, DestroyingLeavesTheSocketOpen) {
    SocketLibrary library;
    LoopbackListener listener;
    SOCKET kept = INVALID_SOCKET;
    {
        TcpConnection connection;
        connection.SetAddress(L"127.0.0.1", static_cast<short>(listener.Port()));
        ASSERT_TRUE(connection.Connect());
        kept = connection.GetSocket();
    }
    OwnedSocket peer(listener.Accept());
    EXPECT_EQ(send(kept, "x", 1, 0), 1);
    char byte = 0;
    EXPECT_EQ(recv(peer, &byte, 1, 0), 1);
    closesocket(kept);
}

TEST(TcpConnection, ReceiveWaitsNoLongerThanTheIoTimeOut) {
    SocketLibrary library;
    LoopbackListener listener;
    const int connectTimeout = TcpConnection::GetConnectTimeout();
    const int ioTimeout = TcpConnection::GetIoTimeout();
    TcpConnection::SetTimeouts(5000, 300);
    TcpConnection connection;
    connection.SetAddress(L"127.0.0.1", static_cast<short>(listener.Port()));
    ASSERT_TRUE(connection.Connect());
    OwnedSocket peer(listener.Accept());  // a silent peer, open to the end
    char byte;
    // A silent peer: without the time-out this call would block for ever.
    EXPECT_EQ(recv(connection.GetSocket(), &byte, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
    connection.Close();
    TcpConnection::SetTimeouts(connectTimeout, ioTimeout);
}

TEST(TcpConnectionLibrary, StartupAndCleanupComeInPairs) {
    ASSERT_FALSE(SocketLibraryStarted());
    TcpConnection connection;
    connection.Startup();
    EXPECT_TRUE(SocketLibraryStarted());
    connection.Cleanup();
    EXPECT_FALSE(SocketLibraryStarted());
    connection.Cleanup();  // no start-up left to end
    EXPECT_FALSE(SocketLibraryStarted());

    // A Cleanup without a Startup of its own must not end somebody else's start-up.
    SocketLibrary library;
    TcpConnection other;
    other.Cleanup();
    EXPECT_TRUE(SocketLibraryStarted());
    other.Startup();
    other.Cleanup();
    other.Cleanup();
    EXPECT_TRUE(SocketLibraryStarted());
}

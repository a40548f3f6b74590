// send_parts: where the send loop's time goes, each part timed apart over one pass through a file:
//   send_parts HOST PORT LOCAL-FILE
// Reads the file as the send loop does (FtpFilePoster::kBlocksPerView blocks of the allocation granularity
// per view) and hands each view, straight from the mapping, to one non-blocking TCP connection to HOST:PORT
// as the loop does on a fast link: the rest of the view at each send, a wait for room when the socket is
// full. Prints "map=<ms> send=<ms> total=<ms>" (map counts mapping and unmapping, send the waits and the
// page faults of the view as well); exit code 0 only when every byte went out.
//   send_parts HOST PORT LOCAL-FILE read
// reads the same pieces with ReadFile into one buffer instead, for comparison: "read=<ms> send=<ms>
// total=<ms>".
#include <winsock2.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "engine/FtpFilePoster.h"

namespace {

double Now() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool byReadFile = argc == 5 && std::wcscmp(argv[4], L"read") == 0;
    if (argc != 4 && !byReadFile) {
        std::fwprintf(stderr, L"usage: send_parts HOST PORT LOCAL-FILE [read]\n");
        return 2;
    }
    HANDLE file = CreateFileW(argv[3], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size{};
    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) {
        std::fwprintf(stderr, L"cannot open %ls\n", argv[3]);
        return 1;
    }
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!byReadFile) CloseHandle(file);
    if (!mapping) return 1;

    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::wcstoul(argv[2], nullptr, 10)));
    char host[64] = {};
    WideCharToMultiByte(CP_ACP, 0, argv[1], -1, host, sizeof(host) - 1, nullptr, nullptr);
    address.sin_addr.s_addr = inet_addr(host);
    if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        std::fwprintf(stderr, L"cannot connect\n");
        return 1;
    }

    u_long nonBlocking = 1;
    ioctlsocket(socket, FIONBIO, &nonBlocking);
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const int64_t viewLength =
        static_cast<int64_t>(system.dwAllocationGranularity) * FtpFilePoster::kBlocksPerView;
    std::vector<char> buffer(byReadFile ? static_cast<size_t>(viewLength) : 0);
    double map = 0, send = 0;
    const double start = Now();
    for (int64_t offset = 0; offset < size.QuadPart; offset += viewLength) {
        const int64_t n = size.QuadPart - offset < viewLength ? size.QuadPart - offset : viewLength;
        const double t0 = Now();
        const char* view = nullptr;
        if (byReadFile) {
            DWORD got = 0;
            if (!ReadFile(file, buffer.data(), static_cast<DWORD>(n), &got, nullptr) || got != n) return 1;
            view = buffer.data();
        } else {
            view = static_cast<const char*>(
                MapViewOfFile(mapping, FILE_MAP_READ, static_cast<DWORD>(offset >> 32),
                              static_cast<DWORD>(offset & 0xFFFFFFFF), static_cast<SIZE_T>(n)));
        }
        if (!view) return 1;
        const double t1 = Now();
        for (int64_t handed = 0; handed < n;) {
            const int sent = ::send(socket, view + handed, static_cast<int>(n - handed), 0);
            if (sent > 0) {
                handed += sent;
                continue;
            }
            if (sent == 0 || WSAGetLastError() != WSAEWOULDBLOCK) return 1;
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(socket, &writable);
            timeval slice{0, 100000};
            if (::select(0, nullptr, &writable, nullptr, &slice) == SOCKET_ERROR) return 1;
        }
        const double t2 = Now();
        if (!byReadFile) UnmapViewOfFile(view);
        const double t3 = Now();
        map += (t1 - t0) + (t3 - t2);
        send += t2 - t1;
    }
    // The pass ends when the receiver has everything.
    nonBlocking = 0;
    ioctlsocket(socket, FIONBIO, &nonBlocking);
    ::shutdown(socket, SD_SEND);
    char rest[64];
    while (::recv(socket, rest, sizeof(rest), 0) > 0) {
    }
    const double total = Now() - start;
    closesocket(socket);
    CloseHandle(mapping);
    if (byReadFile) CloseHandle(file);
    std::printf("%s=%.3f send=%.3f total=%.3f\n", byReadFile ? "read" : "map", map, send, total);
    return 0;
}

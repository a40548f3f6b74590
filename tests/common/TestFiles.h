// Files and folders for tests: a fresh temp folder per test (under the system's temp folder or a given one),
// whole-file reads and writes, a sparse file, and a buffer that ends where an inaccessible page begins (a
// read past its end crashes the test).
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "classlib/Owners.h"

namespace testfiles {

inline bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    UniqueFindHandle search(FindFirstFileW((path + L"\\*").c_str(), &found));
    if (search) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(search.Get(), &found));
        search.Reset();
    }
    RemoveDirectoryW(path.c_str());
}

// The system's temp folder, without a closing backslash.
inline std::wstring SystemTempFolder() {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring path = temp;
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    return path;
}

// A new folder under the temp folder; removed with its content when the object goes, unless kept open.
class TempFolder {
public:
    TempFolder() : TempFolder(SystemTempFolder()) {}
    // A new folder inside parent, which is made when missing and stays.
    explicit TempFolder(const std::wstring& parent) {
        static std::atomic<int> counter{0};
        CreateDirectoryW(parent.c_str(), nullptr);
        path_ = parent + L"\\korvane-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++counter) + L"-" + std::to_wstring(GetTickCount());
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TempFolder() {
        if (remove_) RemoveTree(path_);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }
    // For files that stay open until the process ends (log files): the caller removes the folder later.
    void Keep() { remove_ = false; }

private:
    std::wstring path_;
    bool remove_ = true;
};

// The file made anew with these bytes, written in pieces of at most 16 MiB.
inline bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    const UniqueFileHandle owner(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!owner) return false;
    const HANDLE file = owner.Get();
    size_t written = 0;
    while (written < bytes.size()) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - written, 1 << 24));
        DWORD n = 0;
        if (!WriteFile(file, bytes.data() + written, piece, &n, nullptr) || n == 0) break;
        written += n;
    }
    return written == bytes.size();
}

// The whole file, read while others may still write it (an open log file); empty when it cannot be opened.
inline std::string ReadBytes(const std::wstring& path) {
    const UniqueFileHandle owner(CreateFileW(path.c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!owner) return std::string();
    const HANDLE file = owner.Get();
    std::string bytes;
    char block[65536];
    DWORD got = 0;
    while (ReadFile(file, block, sizeof(block), &got, nullptr) && got > 0) bytes.append(block, got);
    return bytes;
}

// Cuts the file to size bytes the way another program on the machine can while this process still maps it.
// Windows itself refuses to shorten a mapped file (ERROR_USER_MAPPED_FILE), but a file on a share that goes
// away, or one cut by a program outside Windows' view, leaves the mapped pages unreadable all the same. Under
// Wine the cut is made by the host's truncate(1), started as a program of the host; false where that cannot
// run (the caller skips).
inline bool CutShortFromOutside(const std::wstring& path, long long size) {
    using UnixName = char*(__cdecl*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName) return false;
    char* name = unixName(path.c_str());
    if (!name) return false;
    wchar_t unixPath[MAX_PATH * 4] = {};
    const int converted = MultiByteToWideChar(CP_UTF8, 0, name, -1, unixPath, MAX_PATH * 4);
    HeapFree(GetProcessHeap(), 0, name);
    const std::wstring program = L"Z:\\usr\\bin\\truncate";
    if (converted <= 0 || !Exists(program)) return false;
    std::wstring line = L"truncate -s " + std::to_wstring(size) + L" \"" + unixPath + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    const UniqueHandle thread(process.hThread);
    const UniqueHandle owner(process.hProcess);
    // A program of the host gives Wine no exit code to read: the file's size tells whether the cut was made.
    WaitForSingleObject(owner.Get(), 30000);
    for (int attempt = 0; attempt < 300; ++attempt) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
            ((static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) == size)
            return true;
        Sleep(100);
    }
    return false;
}

// A file of the given size whose content is zeros, except the marker bytes written at markerOffset. The
// file system keeps it sparse, so a size past 4 GiB costs no disk space.
inline bool MakeSparseFile(const std::wstring& path, long long size, long long markerOffset = -1,
                           const std::string& marker = std::string()) {
    const UniqueFileHandle owner(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!owner) return false;
    const HANDLE file = owner.Get();
    DWORD ignored = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = size;
    bool ok = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    if (ok && markerOffset >= 0 && !marker.empty()) {
        LARGE_INTEGER at;
        at.QuadPart = markerOffset;
        DWORD written = 0;
        ok = SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
             WriteFile(file, marker.data(), static_cast<DWORD>(marker.size()), &written, nullptr) &&
             written == marker.size();
    }
    return ok;
}

// length bytes that end exactly where a PAGE_NOACCESS page begins.
class GuardedBuffer {
public:
    GuardedBuffer(const void* bytes, size_t length) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        const size_t page = info.dwPageSize;
        const size_t pages = (length + page - 1) / page + 1;
        base_ =
            static_cast<char*>(VirtualAlloc(nullptr, pages * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(base_ + (pages - 1) * page, page, PAGE_NOACCESS, &old);
        data_ = base_ + (pages - 1) * page - length;
        if (length) std::memcpy(data_, bytes, length);
    }
    ~GuardedBuffer() { VirtualFree(base_, 0, MEM_RELEASE); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    template <typename T>
    const T* As() const {
        return reinterpret_cast<const T*>(data_);
    }

private:
    char* base_ = nullptr;
    char* data_ = nullptr;
};

}  // namespace testfiles

#include "support/MapFile.h"

#include <cstring>

namespace Tamsic {
namespace IO {

MapFile::MapFile() { GetSystemInfo(&systemInfo_); }

MapFile::~MapFile() { Close(); }

bool MapFile::Open(const CString& path) {
    // Only the mapping stays open: the file's handle goes with this call.
    const UniqueFileHandle file(CreateFileW(path.GetString(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) SetError(OpenFailed);
    if (!HasError()) {
        // A second Open on the same object replaces the mapping instead of leaking it.
        Close();
        LARGE_INTEGER size;
        if (GetFileSizeEx(file.Get(), &size)) size_ = size.QuadPart;
        mapping_.Reset(CreateFileMappingW(file.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (!mapping_) SetError(MappingFailed);
    }
    return !HasError();
}

const char* MapFile::MapNext(const int& length, int64_t& count, UniqueMappedView& view) {
    count = 0;
    view.Reset();
    // No mapping (Open failed, or Close came first): the read fails as a view would, whatever the size.
    if (!mapping_) {
        SetError(ViewFailed);
        return nullptr;
    }
    if (offset_ < 0 || offset_ >= size_) return nullptr;
    int64_t n = length;
    if (offset_ + n > size_) n = size_ - offset_;

    // A view starts on a multiple of the granularity; a read at any other offset maps from the boundary
    // below.
    const int64_t start = offset_ - offset_ % static_cast<int64_t>(GetAllocationGranularity());
    const int64_t skip = offset_ - start;
    view.Reset(MapViewOfFile(mapping_.Get(), FILE_MAP_READ, static_cast<DWORD>(start >> 32),
                             static_cast<DWORD>(start & 0xFFFFFFFF), static_cast<SIZE_T>(skip + n)));
    if (!view) {
        SetError(ViewFailed);
        return nullptr;
    }
    offset_ += n;
    count = n;
    return static_cast<const char*>(view.Get()) + skip;
}

int64_t MapFile::Read(void* buffer, const int& length) {
    if (length <= 0) return 0;
    char* const bytes = static_cast<char*>(buffer);
    int64_t n = 0;
    UniqueMappedView view;
    if (const char* block = MapNext(length, n, view)) {
        // A page of the view whose bytes are gone (the file was cut short since it was mapped, or its share
        // went away) faults on a plain copy and ends the process. Copied as memory of this process that may
        // be unreadable, such a block fails the read instead.
        SIZE_T copied = 0;
        if (!ReadProcessMemory(GetCurrentProcess(), block, bytes, static_cast<SIZE_T>(n), &copied) ||
            copied != static_cast<SIZE_T>(n)) {
            SetError(ViewFailed);
            n = 0;
        }
        view.Reset();
    }
    // The first length bytes end up zeroed wherever the view does not cover them: all of them when nothing
    // is read, the tail past a short last block otherwise. The bytes a view covers are written once only.
    std::memset(bytes + n, 0, static_cast<size_t>(length - n));
    return n;
}

void MapFile::Close() { mapping_.Reset(); }

}  // namespace IO
}  // namespace Tamsic

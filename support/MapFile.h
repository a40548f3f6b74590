#pragma once

#include <windows.h>

#include <cstdint>

#include "classlib/CString.h"
#include "classlib/Owners.h"
#include "support/ErrorBase.h"

namespace Tamsic {
namespace IO {

// Reads a local file block by block through a read-only mapping: each block is mapped, copied and unmapped,
// so at most one view of one block is mapped at a time. A caller that hands the bytes on as they stand (to a
// socket) maps the next block itself and reads the view in place.
// Error codes: 1 the file cannot be opened, 2 it cannot be mapped (an empty file included), 3 a view failed
// (a Read after a failed Open included), or its bytes could no longer be read (the file was cut short by
// another program, or the share it lies on went away).
class MapFile : public System::ErrorBase {
public:
    enum { OpenFailed = 1, MappingFailed = 2, ViewFailed = 3 };

    MapFile();
    ~MapFile() override;

    bool Open(const CString& path);
    // Copies the next block of at most length bytes into buffer and returns the count, 0 at the end of the
    // file or on failure. Of the buffer's first length bytes, those the block does not fill are zeroed.
    int64_t Read(void* buffer, const int& length);
    // Moves the next read to any file position; a view is mapped from the aligned start that holds it.
    void SetOffset(int64_t offset) { offset_ = offset; }
    int64_t GetOffset() const { return offset_; }
    int64_t GetSize() const { return size_; }
    const DWORD& GetAllocationGranularity() const { return systemInfo_.dwAllocationGranularity; }
    void Close();

    // Maps the next block of at most length bytes and moves the offset past it: its first byte, its count in
    // count, the view in view; null (count 0, view empty) at the end of the file or when the view fails
    // (error 3). The view's pages are the file's: if another program cuts the file short, touching a page
    // past the new end faults, so the bytes go only to calls that report such a fault as an error (a
    // socket's send does), never to a plain copy.
    const char* MapNext(const int& length, int64_t& count, UniqueMappedView& view);

private:
    UniqueHandle mapping_;
    int64_t offset_ = 0;
    int64_t size_ = 0;
    SYSTEM_INFO systemInfo_;
};

}  // namespace IO
}  // namespace Tamsic

#pragma once

#include <cstdint>

#include "classlib/CString.h"
#include "support/ErrorBase.h"

namespace Tamsic {
namespace IO {

// A local file's size, measured anew on every GetSize. A file that cannot be opened shows a message box and
// reads as size 0; the error flag is never raised.
class FileInfo : public System::ErrorBase {
public:
    explicit FileInfo(const CString& path);
    ~FileInfo() override = default;

    const int64_t& GetSize();
    const CString& GetPath() const { return path_; }

private:
    void ReadSize();

    CString path_;
    int64_t size_ = 0;
};

}  // namespace IO
}  // namespace Tamsic

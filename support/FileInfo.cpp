#include "support/FileInfo.h"

#include <cerrno>
#include <cstdio>

#include "support/Platform.h"

namespace Tamsic {
namespace IO {

FileInfo::FileInfo(const CString& path) : path_(path) {}

const int64_t& FileInfo::GetSize() {
    ReadSize();
    return size_;
}

void FileInfo::ReadSize() {
    FILE* stream = nullptr;
    errno_t opened = _wfopen_s(&stream, path_.GetString(), L"rb");
    if (opened != 0 || !stream) {
        int error = 0;
        _get_errno(&error);
        if (error == 0) error = opened;
        CString text;
        text.Format(L"打开文件错误，错误码：%d，文件路径：%ls", error, path_.GetString());
        Platform::ShowMessageBox(nullptr, text, L"000", MB_OK);
        return;
    }
    if (_fseeki64(stream, 0, SEEK_END) == 0) size_ = _ftelli64(stream);
    fclose(stream);
}

}  // namespace IO
}  // namespace Tamsic

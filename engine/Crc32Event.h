// What the CRC-32 check tells its owner, on the check's worker thread. The slots stand in the reverse order
// of Md5CheckerEvent's: error, complete, progress; the owner's layout depends on it.
#pragma once

class Crc32Event {
public:
    // Once, when the file could not be opened or reading it failed; Crc32::GetErrorCode holds 200.
    virtual void crcError() {}
    // Once, when the file was read to its end; Crc32::GetResult holds the checksum.
    virtual void crcComplete() {}
    // Never sent: the CRC-32 check reports no progress.
    virtual void crcProcess(int percent) {}

protected:
    // Never destroyed through this interface.
    ~Crc32Event() = default;
};

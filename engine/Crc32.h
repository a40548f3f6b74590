// The CRC-32 file check (reflected, polynomial 0x04C11DB7, as zlib and IEEE 802.3 compute it): reads one
// local file through the C runtime's streams on a worker thread of its own and reports completion or failure
// through Crc32Event. It reports no progress and has no stop.
#pragma once

#include <cstdint>
#include <string>

#include "classlib/CString.h"
#include "engine/Crc32Event.h"
#include "engine/ErrorCodes.h"
#include "engine/WorkerThread.h"
#include "support/ErrorBase.h"

// How the checksum is computed: byte tables (any processor), or carry-less multiplication folding (processors
// with PCLMULQDQ and SSE4.1). Both give the same register.
enum class Crc32Method { Table, Folding };

class Crc32 : public Error {
public:
    // States of a run (the Error base's state) and the one code.
    enum { StateFailed = 1, StateComplete = 3 };
    static constexpr PageErrorCode FileNotOpened = PageErrorCode::FileNotOpened;

    Crc32();
    // Waits for a running worker to end; it gives up its file at the next block without a report.
    ~Crc32() override;

    // Set once, before the first Start; the worker calls it without testing it.
    void SetSink(Crc32Event* sink) { sink_ = sink; }

    // Begins a run over path: results emptied, a new worker. Refused (false, nothing changed) while a run is
    // still going. A run that reported its outcome no longer counts as going: as this call may come from
    // inside that report, its worker is kept and the destructor waits for it.
    bool Start(const CString& path);

    // Where the block buffer of a run comes from (it is released with free): tests make it fail. Null
    // restores malloc. Returns the previous one.
    using Allocator = void* (*)(size_t size);
    static Allocator SetBlockAllocator(Allocator allocator);

    // The checksum as unsigned decimal text after a completed run, else the empty text.
    CString GetResult() const;
    // 200 after crcError (the file could not be opened or read, or no buffer could be had). Read it in the
    // report, or once no run is going.
    int GetErrorCode() const { return errorCode_; }
    // The 256 entries of the byte-wise table.
    const uint32_t* GetTable() const { return table_; }

    // Whether this processor offers the folding method (CPUID: PCLMULQDQ and SSE4.1).
    static bool HasFolding();
    // The method the checks use: folding where the processor offers it, else the tables.
    Crc32Method GetMethod() const { return method_; }
    // Runs the register crc (not complemented) over length bytes with the given method; Folding only where
    // HasFolding() holds.
    uint32_t Update(uint32_t crc, const uint8_t* data, size_t length, Crc32Method method) const;

private:
    void BuildTable();
    friend class WorkerThread;
    // One run; settled is set once its outcome is written and a new Start may begin.
    void Run(bool& settled);
    // A run that threw before its outcome was written ends as one whose file could not be read (an
    // abandoned run without a report).
    void SettleAfterFault();
    void SetResult(const uint32_t& crc);
    uint32_t UpdateByTable(uint32_t crc, const uint8_t* data, size_t length) const;

    Crc32Event* sink_ = nullptr;
    const Crc32Method method_;
    uint32_t table_[256];
    int32_t blockSize_ = 0;
    std::string narrowResult_;
    CString wideResult_;
    CString path_;

    // Entry i of table k is the register after i and then k zero bytes; they let eight bytes go in one step.
    static constexpr int kSlices = 16;
    uint32_t sliceTables_[kSlices - 1][256];
    // The results and the path are written by the worker before it settles its run and by Start only while
    // no run is going.
    WorkerThread worker_;
};

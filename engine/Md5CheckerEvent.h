// What the MD5 check tells its owner, on the checker's worker thread. The owner implements this as one of
// its bases, so the slot order is part of its layout: progress, complete, error.
#pragma once

class Md5CheckerEvent {
public:
    // After a block was digested, at most once per 1000 ms, never while a stop is requested.
    virtual void md5Process(int percent) {}
    // Once, when every byte of the file was digested; the checker's result holds the digest.
    virtual void md5Complete() {}
    // Once, when the run failed; Md5Checker::GetErrorCode says why.
    virtual void md5Error() {}

protected:
    // Never destroyed through this interface.
    ~Md5CheckerEvent() = default;
};

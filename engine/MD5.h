// The RFC 1321 message digest, fed in pieces of any length, with its text form of 32 lower-case hex digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class MD5 {
public:
    MD5() { Reset(); }

    // Starts a new message.
    void Reset();
    void Update(const uint8_t* data, size_t length);
    // Pads the message once and returns the digest as text; calling it again without an Update in between
    // returns the same text.
    std::string ToString();

    // Two lower-case hex digits per byte, high half first.
    static std::string BytesToHex(const uint8_t* bytes, size_t length);

private:
    void UpdateBytes(const uint8_t* data, size_t length);
    void Transform(const uint8_t block[64]);
    void Final();

    uint32_t a_, b_, c_, d_;
    // Bits digested so far, low word first.
    uint32_t count_[2];
    // The start of the block that is not complete yet.
    uint8_t buffer_[64];
    uint8_t digest_[16];
    bool finalised_;
};

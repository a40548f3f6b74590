#include "engine/MD5.h"

#include <cstring>

namespace {

inline uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// The four round functions of RFC 1321. G's two terms never share a set bit, so they are added into the
// sum one by one instead of or-ed first: that leaves the processor independent operations to overlap.
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

#define MD5_STEP_F(a, b, c, d, x, t, s) \
    a += MD5_F(b, c, d) + (x) + (t);    \
    a = RotateLeft(a, s) + (b)
#define MD5_STEP_G(a, b, c, d, x, t, s)          \
    a += (x) + (t) + ((c) & ~(d)) + ((b) & (d)); \
    a = RotateLeft(a, s) + (b)
#define MD5_STEP_H(a, b, c, d, x, t, s) \
    a += MD5_H(b, c, d) + (x) + (t);    \
    a = RotateLeft(a, s) + (b)
#define MD5_STEP_I(a, b, c, d, x, t, s) \
    a += MD5_I(b, c, d) + (x) + (t);    \
    a = RotateLeft(a, s) + (b)

inline uint32_t LoadLittleEndian(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void StoreLittleEndian(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

void MD5::Reset() {
    a_ = 0x67452301;
    b_ = 0xefcdab89;
    c_ = 0x98badcfe;
    d_ = 0x10325476;
    count_[0] = count_[1] = 0;
    std::memset(buffer_, 0, sizeof buffer_);
    std::memset(digest_, 0, sizeof digest_);
    finalised_ = false;
}

void MD5::Update(const uint8_t* data, size_t length) { UpdateBytes(data, length); }

void MD5::UpdateBytes(const uint8_t* data, size_t length) {
    finalised_ = false;
    size_t index = (count_[0] >> 3) & 0x3F;
    // The bit count on 32-bit words, as RFC 1321 keeps it.
    const uint32_t bitsLow = static_cast<uint32_t>(length) << 3;
    count_[0] += bitsLow;
    if (count_[0] < bitsLow) ++count_[1];
    count_[1] += static_cast<uint32_t>(static_cast<uint64_t>(length) >> 29);

    size_t used = 0;
    const size_t room = 64 - index;
    if (length >= room) {
        std::memcpy(buffer_ + index, data, room);
        Transform(buffer_);
        for (used = room; used + 63 < length; used += 64) Transform(data + used);
        index = 0;
    }
    std::memcpy(buffer_ + index, data + used, length - used);
}

void MD5::Transform(const uint8_t block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = LoadLittleEndian(block + 4 * i);
    uint32_t a = a_, b = b_, c = c_, d = d_;

    MD5_STEP_F(a, b, c, d, x[0], 0xd76aa478, 7);
    MD5_STEP_F(d, a, b, c, x[1], 0xe8c7b756, 12);
    MD5_STEP_F(c, d, a, b, x[2], 0x242070db, 17);
    MD5_STEP_F(b, c, d, a, x[3], 0xc1bdceee, 22);
    MD5_STEP_F(a, b, c, d, x[4], 0xf57c0faf, 7);
    MD5_STEP_F(d, a, b, c, x[5], 0x4787c62a, 12);
    MD5_STEP_F(c, d, a, b, x[6], 0xa8304613, 17);
    MD5_STEP_F(b, c, d, a, x[7], 0xfd469501, 22);
    MD5_STEP_F(a, b, c, d, x[8], 0x698098d8, 7);
    MD5_STEP_F(d, a, b, c, x[9], 0x8b44f7af, 12);
    MD5_STEP_F(c, d, a, b, x[10], 0xffff5bb1, 17);
    MD5_STEP_F(b, c, d, a, x[11], 0x895cd7be, 22);
    MD5_STEP_F(a, b, c, d, x[12], 0x6b901122, 7);
    MD5_STEP_F(d, a, b, c, x[13], 0xfd987193, 12);
    MD5_STEP_F(c, d, a, b, x[14], 0xa679438e, 17);
    MD5_STEP_F(b, c, d, a, x[15], 0x49b40821, 22);

    MD5_STEP_G(a, b, c, d, x[1], 0xf61e2562, 5);
    MD5_STEP_G(d, a, b, c, x[6], 0xc040b340, 9);
    MD5_STEP_G(c, d, a, b, x[11], 0x265e5a51, 14);
    MD5_STEP_G(b, c, d, a, x[0], 0xe9b6c7aa, 20);
    MD5_STEP_G(a, b, c, d, x[5], 0xd62f105d, 5);
    MD5_STEP_G(d, a, b, c, x[10], 0x02441453, 9);
    MD5_STEP_G(c, d, a, b, x[15], 0xd8a1e681, 14);
    MD5_STEP_G(b, c, d, a, x[4], 0xe7d3fbc8, 20);
    MD5_STEP_G(a, b, c, d, x[9], 0x21e1cde6, 5);
    MD5_STEP_G(d, a, b, c, x[14], 0xc33707d6, 9);
    MD5_STEP_G(c, d, a, b, x[3], 0xf4d50d87, 14);
    MD5_STEP_G(b, c, d, a, x[8], 0x455a14ed, 20);
    MD5_STEP_G(a, b, c, d, x[13], 0xa9e3e905, 5);
    MD5_STEP_G(d, a, b, c, x[2], 0xfcefa3f8, 9);
    MD5_STEP_G(c, d, a, b, x[7], 0x676f02d9, 14);
    MD5_STEP_G(b, c, d, a, x[12], 0x8d2a4c8a, 20);

    MD5_STEP_H(a, b, c, d, x[5], 0xfffa3942, 4);
    MD5_STEP_H(d, a, b, c, x[8], 0x8771f681, 11);
    MD5_STEP_H(c, d, a, b, x[11], 0x6d9d6122, 16);
    MD5_STEP_H(b, c, d, a, x[14], 0xfde5380c, 23);
    MD5_STEP_H(a, b, c, d, x[1], 0xa4beea44, 4);
    MD5_STEP_H(d, a, b, c, x[4], 0x4bdecfa9, 11);
    MD5_STEP_H(c, d, a, b, x[7], 0xf6bb4b60, 16);
    MD5_STEP_H(b, c, d, a, x[10], 0xbebfbc70, 23);
    MD5_STEP_H(a, b, c, d, x[13], 0x289b7ec6, 4);
    MD5_STEP_H(d, a, b, c, x[0], 0xeaa127fa, 11);
    MD5_STEP_H(c, d, a, b, x[3], 0xd4ef3085, 16);
    MD5_STEP_H(b, c, d, a, x[6], 0x04881d05, 23);
    MD5_STEP_H(a, b, c, d, x[9], 0xd9d4d039, 4);
    MD5_STEP_H(d, a, b, c, x[12], 0xe6db99e5, 11);
    MD5_STEP_H(c, d, a, b, x[15], 0x1fa27cf8, 16);
    MD5_STEP_H(b, c, d, a, x[2], 0xc4ac5665, 23);

    MD5_STEP_I(a, b, c, d, x[0], 0xf4292244, 6);
    MD5_STEP_I(d, a, b, c, x[7], 0x432aff97, 10);
    MD5_STEP_I(c, d, a, b, x[14], 0xab9423a7, 15);
    MD5_STEP_I(b, c, d, a, x[5], 0xfc93a039, 21);
    MD5_STEP_I(a, b, c, d, x[12], 0x655b59c3, 6);
    MD5_STEP_I(d, a, b, c, x[3], 0x8f0ccc92, 10);
    MD5_STEP_I(c, d, a, b, x[10], 0xffeff47d, 15);
    MD5_STEP_I(b, c, d, a, x[1], 0x85845dd1, 21);
    MD5_STEP_I(a, b, c, d, x[8], 0x6fa87e4f, 6);
    MD5_STEP_I(d, a, b, c, x[15], 0xfe2ce6e0, 10);
    MD5_STEP_I(c, d, a, b, x[6], 0xa3014314, 15);
    MD5_STEP_I(b, c, d, a, x[13], 0x4e0811a1, 21);
    MD5_STEP_I(a, b, c, d, x[4], 0xf7537e82, 6);
    MD5_STEP_I(d, a, b, c, x[11], 0xbd3af235, 10);
    MD5_STEP_I(c, d, a, b, x[2], 0x2ad7d2bb, 15);
    MD5_STEP_I(b, c, d, a, x[9], 0xeb86d391, 21);

    a_ += a;
    b_ += b;
    c_ += c;
    d_ += d;
}

void MD5::Final() {
    // The length is appended as it stood before the padding.
    uint8_t bits[8];
    StoreLittleEndian(bits, count_[0]);
    StoreLittleEndian(bits + 4, count_[1]);

    static const uint8_t padding[64] = {0x80};
    const size_t index = (count_[0] >> 3) & 0x3F;
    const size_t padLength = index < 56 ? 56 - index : 120 - index;
    UpdateBytes(padding, padLength);
    UpdateBytes(bits, 8);

    StoreLittleEndian(digest_, a_);
    StoreLittleEndian(digest_ + 4, b_);
    StoreLittleEndian(digest_ + 8, c_);
    StoreLittleEndian(digest_ + 12, d_);
    finalised_ = true;
}

std::string MD5::ToString() {
    if (!finalised_) Final();
    return BytesToHex(digest_, sizeof digest_);
}

std::string MD5::BytesToHex(const uint8_t* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text(2 * length, '0');
    for (size_t i = 0; i < length; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return text;
}

#undef MD5_F
#undef MD5_H
#undef MD5_I
#undef MD5_STEP_F
#undef MD5_STEP_G
#undef MD5_STEP_H
#undef MD5_STEP_I

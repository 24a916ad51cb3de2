#include "sysinfo/Md5Variant.h"

#include <cstring>

namespace machine_id {

namespace {

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
constexpr int kShift[64] = {
    7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
    5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
    4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
    6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21,
};

uint32_t RotateLeft(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

void StoreLe32(uint8_t* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

void StoreLe64(uint8_t* out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

struct Md5State {
    uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

    void Block(const uint8_t* block) {
        uint32_t m[16];
        for (int i = 0; i < 16; ++i)
            m[i] = uint32_t(block[4 * i]) | uint32_t(block[4 * i + 1]) << 8 |
                   uint32_t(block[4 * i + 2]) << 16 | uint32_t(block[4 * i + 3]) << 24;
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; ++i) {
            uint32_t f;
            int g;
            if (i < 16) {
                f = (b & c) | (~b & d);
                g = i;
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
            }
            uint32_t rotated = RotateLeft(a + f + kSine[i] + m[g], kShift[i]);
            a = d;
            d = c;
            c = b;
            b += rotated;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
    }

    void Output(uint8_t digest[16]) const {
        for (int i = 0; i < 4; ++i) StoreLe32(digest + 4 * i, h[i]);
    }
};

// Standard MD5 over the text. Leaves in `lastBlock` the final 64-byte block as
// it was processed and returns p, the number of padding bytes (1 to 64) that
// came before the length field.
size_t Md5Rounds(Md5State& state, const uint8_t* data, size_t size, uint8_t lastBlock[64]) {
    size_t offset = 0;
    for (; size - offset >= 64; offset += 64) state.Block(data + offset);

    size_t rest = size - offset;
    size_t padding = (rest < 56) ? 56 - rest : 120 - rest;
    uint8_t tail[128] = {};
    std::memcpy(tail, data + offset, rest);
    tail[rest] = 0x80;
    size_t tailSize = rest + padding + 8;
    StoreLe64(tail + rest + padding, uint64_t(size) * 8);
    state.Block(tail);
    if (tailSize == 128) state.Block(tail + 64);
    std::memcpy(lastBlock, tail + tailSize - 64, 64);
    return padding;
}

}  // namespace

void Md5Digest(const void* data, size_t size, uint8_t digest[16]) {
    Md5State state;
    uint8_t lastBlock[64];
    Md5Rounds(state, static_cast<const uint8_t*>(data), size, lastBlock);
    state.Output(digest);
}

void MidDigest(const std::string& text, uint8_t digest[16]) {
    size_t size = text.size() < kMidHashInputLimit ? text.size() : kMidHashInputLimit;
    Md5State state;
    uint8_t lastBlock[64];
    size_t padding = Md5Rounds(state, reinterpret_cast<const uint8_t*>(text.data()), size, lastBlock);

    // The second finalisation: the 56 retained bytes of the final block with
    // fresh padding, then a block holding the bit count of text plus padding.
    uint8_t block[64] = {};
    std::memcpy(block, lastBlock, 56);
    block[56] = 0x80;
    state.Block(block);
    std::memset(block, 0, sizeof block);
    StoreLe64(block + 56, uint64_t(size + padding) * 8);
    state.Block(block);
    state.Output(digest);
}

std::string MidHash(const std::string& text) {
    uint8_t digest[16];
    MidDigest(text, digest);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(32);
    for (uint8_t byte : digest) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 15];
    }
    return hex;
}

}  // namespace machine_id

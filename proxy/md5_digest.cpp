#include "md5_digest.h"

#include <algorithm>
#include <cstring>

#include "memory_ops.h"

namespace {

// The working context of one computation, as RFC 1321 lays it out.
struct Md5Context {
    std::uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    std::uint64_t nBits = 0;
    std::uint8_t block[64] = {};
    std::size_t nBlockUsed = 0;
};

constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

std::uint32_t RotateLeft(std::uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

void Transform(std::uint32_t state[4], const std::uint8_t block[64]) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = std::uint32_t(block[i * 4]) | std::uint32_t(block[i * 4 + 1]) << 8 |
               std::uint32_t(block[i * 4 + 2]) << 16 | std::uint32_t(block[i * 4 + 3]) << 24;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t f;
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
        std::uint32_t next = b + RotateLeft(a + f + kSine[i] + x[g], kShift[i]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    explicit_bzero(x, sizeof x);  // the block's words: time stamp and password
}

void Update(Md5Context& ctx, const std::uint8_t* p, std::size_t n) {
    ctx.nBits += std::uint64_t(n) * 8;
    while (n > 0) {
        std::size_t take = std::min(n, sizeof ctx.block - ctx.nBlockUsed);
        std::memcpy(ctx.block + ctx.nBlockUsed, p, take);
        ctx.nBlockUsed += take;
        p += take;
        n -= take;
        if (ctx.nBlockUsed == sizeof ctx.block) {
            Transform(ctx.state, ctx.block);
            ctx.nBlockUsed = 0;
        }
    }
}

void Final(Md5Context& ctx, std::uint8_t out[16]) {
    std::uint64_t nBits = ctx.nBits;
    static const std::uint8_t kPadding[64] = {0x80};
    std::size_t nPad = ctx.nBlockUsed < 56 ? 56 - ctx.nBlockUsed : 120 - ctx.nBlockUsed;
    Update(ctx, kPadding, nPad);
    std::uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = std::uint8_t(nBits >> (8 * i));
    Update(ctx, length, sizeof length);
    for (int i = 0; i < 16; ++i) out[i] = std::uint8_t(ctx.state[i / 4] >> (8 * (i % 4)));
    // The context held the secret text; leave nothing of it behind.
    volatile std::uint8_t* wipe = reinterpret_cast<volatile std::uint8_t*>(&ctx);
    for (std::size_t i = 0; i < sizeof ctx; ++i) wipe[i] = 0;
}

}  // namespace

CMD5Digest::CMD5Digest(const char* pszText) {
    Compute(pszText, std::strlen(pszText));
}

CMD5Digest::CMD5Digest(const void* pData, std::size_t nLength) {
    Compute(pData, nLength);
}

void CMD5Digest::Compute(const void* pData, std::size_t nLength) {
    m_szHex[32] = '\0';
    Md5Context ctx;
    Update(ctx, static_cast<const std::uint8_t*>(pData), nLength);
    std::uint8_t digest[16];
    Final(ctx, digest);
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        m_szHex[i * 2] = kHex[digest[i] >> 4];
        m_szHex[i * 2 + 1] = kHex[digest[i] & 0x0f];
    }
    m_bValid = true;
}

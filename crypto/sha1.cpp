#include "crypto/sha1.h"

#include <cstring>

#include "crypto/wipe.h"

namespace {

inline uint32_t Rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t LoadBigEndian(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void StoreBigEndian(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// The round functions, in the forms that need the fewest operations.
inline uint32_t Choose(uint32_t b, uint32_t c, uint32_t d) {
    return d ^ (b & (c ^ d));
}
inline uint32_t Parity(uint32_t b, uint32_t c, uint32_t d) {
    return b ^ c ^ d;
}
inline uint32_t Majority(uint32_t b, uint32_t c, uint32_t d) {
    return (b & c) | (d & (b | c));
}

constexpr uint32_t kK0 = 0x5A827999;
constexpr uint32_t kK1 = 0x6ED9EBA1;
constexpr uint32_t kK2 = 0x8F1BBCDC;
constexpr uint32_t kK3 = 0xCA62C1D6;

// One compression. The 16 message words live in the context's working block and
// are expanded there in place (W[t] overwrites W[t - 16]), so the caller's data is
// only read, and the last compression of Sha1Final leaves the block all zero.
// The rounds are unrolled with the five variables renamed instead of shifted.
void Sha1Transform(Sha1Context* ctx, const uint8_t* data) {
    uint32_t* w = ctx->Block;
    for (int i = 0; i < 16; ++i) {
        w[i] = LoadBigEndian(data + 4 * i);
    }
    uint32_t a = ctx->State[0];
    uint32_t b = ctx->State[1];
    uint32_t c = ctx->State[2];
    uint32_t d = ctx->State[3];
    uint32_t e = ctx->State[4];

#define QX_EXPAND(t) \
    (w[(t)&15] = Rotl(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ w[((t) + 2) & 15] ^ w[(t)&15], 1))
#define QX_ROUND(f, k, wt, v, wv, x, y, z)      \
    z += Rotl(v, 5) + f(wv, x, y) + (k) + (wt); \
    wv = Rotl(wv, 30);
#define QX_FIVE(f, k, t, wexpr)                   \
    QX_ROUND(f, k, wexpr(t), a, b, c, d, e)       \
    QX_ROUND(f, k, wexpr((t) + 1), e, a, b, c, d) \
    QX_ROUND(f, k, wexpr((t) + 2), d, e, a, b, c) \
    QX_ROUND(f, k, wexpr((t) + 3), c, d, e, a, b) \
    QX_ROUND(f, k, wexpr((t) + 4), b, c, d, e, a)
#define QX_LOADED(t) w[(t)&15]

    QX_FIVE(Choose, kK0, 0, QX_LOADED)
    QX_FIVE(Choose, kK0, 5, QX_LOADED)
    QX_FIVE(Choose, kK0, 10, QX_LOADED)
    QX_ROUND(Choose, kK0, w[15], a, b, c, d, e)
    QX_ROUND(Choose, kK0, QX_EXPAND(16), e, a, b, c, d)
    QX_ROUND(Choose, kK0, QX_EXPAND(17), d, e, a, b, c)
    QX_ROUND(Choose, kK0, QX_EXPAND(18), c, d, e, a, b)
    QX_ROUND(Choose, kK0, QX_EXPAND(19), b, c, d, e, a)
    QX_FIVE(Parity, kK1, 20, QX_EXPAND)
    QX_FIVE(Parity, kK1, 25, QX_EXPAND)
    QX_FIVE(Parity, kK1, 30, QX_EXPAND)
    QX_FIVE(Parity, kK1, 35, QX_EXPAND)
    QX_FIVE(Majority, kK2, 40, QX_EXPAND)
    QX_FIVE(Majority, kK2, 45, QX_EXPAND)
    QX_FIVE(Majority, kK2, 50, QX_EXPAND)
    QX_FIVE(Majority, kK2, 55, QX_EXPAND)
    QX_FIVE(Parity, kK3, 60, QX_EXPAND)
    QX_FIVE(Parity, kK3, 65, QX_EXPAND)
    QX_FIVE(Parity, kK3, 70, QX_EXPAND)
    QX_FIVE(Parity, kK3, 75, QX_EXPAND)

#undef QX_LOADED
#undef QX_FIVE
#undef QX_ROUND
#undef QX_EXPAND

    ctx->State[0] += a;
    ctx->State[1] += b;
    ctx->State[2] += c;
    ctx->State[3] += d;
    ctx->State[4] += e;
}

}  // namespace

Sha1Context* Sha1Initialize(Sha1Context* ctx) {
    if (ctx == nullptr) {
        return nullptr;
    }
    ctx->State[0] = 0x67452301;
    ctx->State[1] = 0xEFCDAB89;
    ctx->State[2] = 0x98BADCFE;
    ctx->State[3] = 0x10325476;
    ctx->State[4] = 0xC3D2E1F0;
    ctx->Count[0] = 0;
    ctx->Count[1] = 0;
    return ctx;
}

void Sha1Update(Sha1Context* ctx, const uint8_t* data, uint32_t length) {
    if (ctx == nullptr || data == nullptr) {
        return;
    }
    uint32_t position = (ctx->Count[0] >> 3) & 63;
    const uint32_t bits = length << 3;
    ctx->Count[0] += bits;
    if (ctx->Count[0] < bits) {
        ++ctx->Count[1];
    }
    ctx->Count[1] += length >> 29;

    uint32_t offset = 0;
    if (length >= 64 - position) {
        offset = 64 - position;
        std::memcpy(ctx->Buffer + position, data, offset);
        Sha1Transform(ctx, ctx->Buffer);
        for (; length - offset >= 64; offset += 64) {
            Sha1Transform(ctx, data + offset);
        }
        position = 0;
    }
    std::memcpy(ctx->Buffer + position, data + offset, length - offset);
}

void Sha1Final(Sha1Context* ctx) {
    if (ctx == nullptr) {
        return;
    }
    uint8_t countBytes[8];
    StoreBigEndian(countBytes, ctx->Count[1]);
    StoreBigEndian(countBytes + 4, ctx->Count[0]);

    // 0x80 and then zeros until 56 bytes of the block are filled, absorbed in one
    // call rather than byte by byte; the count words end up the same.
    static const uint8_t kPadding[64] = {0x80};
    const uint32_t position = (ctx->Count[0] >> 3) & 63;
    Sha1Update(ctx, kPadding, position < 56 ? 56 - position : 120 - position);
    Sha1Update(ctx, countBytes, 8);

    for (int i = 0; i < 20; ++i) {
        ctx->Digest[i] = static_cast<uint8_t>(ctx->State[i >> 2] >> (24 - 8 * (i & 3)));
    }

    // Clear the running state, then compress the cleared buffer once so that the
    // working block (which held the last message words) is overwritten too.
    SecureWipe(ctx->Buffer, sizeof ctx->Buffer);
    SecureWipe(ctx->State, sizeof ctx->State);
    SecureWipe(ctx->Count, sizeof ctx->Count);
    Sha1Transform(ctx, ctx->Buffer);
}

Sha1Context* Sha1GetDigest(Sha1Context* ctx, uint8_t out[SHA1_DIGEST_SIZE]) {
    if (ctx == nullptr) {
        return nullptr;
    }
    if (out != nullptr) {
        std::memcpy(out, ctx->Digest, SHA1_DIGEST_SIZE);
    }
    return ctx;
}

void HmacSha1(Sha1Context* ctx, const uint8_t* key, uint32_t keyLength, const uint8_t* message,
              uint32_t messageLength, uint8_t mac[SHA1_DIGEST_SIZE]) {
    if (ctx == nullptr || key == nullptr || message == nullptr || mac == nullptr) {
        return;
    }
    uint8_t innerPad[64] = {};
    uint8_t outerPad[64] = {};
    uint8_t innerDigest[SHA1_DIGEST_SIZE];

    if (keyLength > 64) {
        uint8_t keyDigest[SHA1_DIGEST_SIZE];
        Sha1Initialize(ctx);
        Sha1Update(ctx, key, keyLength);
        Sha1Final(ctx);
        Sha1GetDigest(ctx, keyDigest);
        std::memcpy(innerPad, keyDigest, sizeof keyDigest);
        std::memcpy(outerPad, keyDigest, sizeof keyDigest);
        SecureWipe(keyDigest, sizeof keyDigest);
    } else {
        std::memcpy(innerPad, key, keyLength);
        std::memcpy(outerPad, key, keyLength);
    }
    for (int i = 0; i < 64; ++i) {
        innerPad[i] ^= 0x36;
        outerPad[i] ^= 0x5C;
    }

    Sha1Initialize(ctx);
    Sha1Update(ctx, innerPad, sizeof innerPad);
    Sha1Update(ctx, message, messageLength);
    Sha1Final(ctx);
    Sha1GetDigest(ctx, innerDigest);

    Sha1Initialize(ctx);
    Sha1Update(ctx, outerPad, sizeof outerPad);
    Sha1Update(ctx, innerDigest, sizeof innerDigest);
    Sha1Final(ctx);
    Sha1GetDigest(ctx, mac);

    Sha1Initialize(ctx);
    SecureWipe(innerPad, sizeof innerPad);
    SecureWipe(outerPad, sizeof outerPad);
    SecureWipe(innerDigest, sizeof innerDigest);
}

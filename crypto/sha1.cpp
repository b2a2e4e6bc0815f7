#include "crypto/sha1.h"

#include <atomic>
#include <cstring>

#include "crypto/wipe.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define QX_SHA1_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

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
void Sha1TransformPortable(Sha1Context* ctx, const uint8_t* data) {
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

#ifdef QX_SHA1_X86
// The same compression on the SHA instructions (four rounds per instruction, the
// schedule four words at a time), over `blocks` consecutive blocks with the state
// kept in registers between them. Message group g (rounds 4g to 4g+3) sits in
// msg[g % 4]; while it is consumed, group g+1 is finished (sha1msg2), group g+2
// gets its XOR term and group g+3 its first step (sha1msg1). At the end the four
// registers hold W[64..79] of the last block, which are stored as the working
// block, in the same places as the portable rounds leave them.
__attribute__((target("sha,sse4.1"))) void Sha1TransformShaNi(Sha1Context* ctx, const uint8_t* data,
                                                              size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090A0B0C0D0E0FLL);
    __m128i abcd =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ctx->State)), 0x1B);
    __m128i e0 = _mm_set_epi32(static_cast<int>(ctx->State[4]), 0, 0, 0);
    __m128i e1;
    __m128i msg[4];

#define QX_GROUP(g, f)                                                               \
    do {                                                                             \
        __m128i& eIn = ((g)&1) ? e1 : e0;                                            \
        __m128i& eOut = ((g)&1) ? e0 : e1;                                           \
        if ((g) == 0) {                                                              \
            eIn = _mm_add_epi32(eIn, msg[0]);                                        \
        } else {                                                                     \
            eIn = _mm_sha1nexte_epu32(eIn, msg[(g)&3]);                              \
        }                                                                            \
        eOut = abcd;                                                                 \
        if ((g) >= 3 && (g) <= 18) {                                                 \
            msg[((g) + 1) & 3] = _mm_sha1msg2_epu32(msg[((g) + 1) & 3], msg[(g)&3]); \
        }                                                                            \
        abcd = _mm_sha1rnds4_epu32(abcd, eIn, f);                                    \
        if ((g) >= 1 && (g) <= 16) {                                                 \
            msg[((g) + 3) & 3] = _mm_sha1msg1_epu32(msg[((g) + 3) & 3], msg[(g)&3]); \
        }                                                                            \
        if ((g) >= 2 && (g) <= 17) {                                                 \
            msg[((g) + 2) & 3] = _mm_xor_si128(msg[((g) + 2) & 3], msg[(g)&3]);      \
        }                                                                            \
    } while (false)

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abcdSaved = abcd;
        const __m128i eSaved = e0;
        for (int i = 0; i < 4; ++i) {
            msg[i] = _mm_shuffle_epi8(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byteSwap);
        }
        // The last argument, the round function and constant, is an immediate.
        QX_GROUP(0, 0);
        QX_GROUP(1, 0);
        QX_GROUP(2, 0);
        QX_GROUP(3, 0);
        QX_GROUP(4, 0);
        QX_GROUP(5, 1);
        QX_GROUP(6, 1);
        QX_GROUP(7, 1);
        QX_GROUP(8, 1);
        QX_GROUP(9, 1);
        QX_GROUP(10, 2);
        QX_GROUP(11, 2);
        QX_GROUP(12, 2);
        QX_GROUP(13, 2);
        QX_GROUP(14, 2);
        QX_GROUP(15, 3);
        QX_GROUP(16, 3);
        QX_GROUP(17, 3);
        QX_GROUP(18, 3);
        QX_GROUP(19, 3);
        // Group 19 left the fifth variable in e0.
        e0 = _mm_sha1nexte_epu32(e0, eSaved);
        abcd = _mm_add_epi32(abcd, abcdSaved);
    }
#undef QX_GROUP

    _mm_storeu_si128(reinterpret_cast<__m128i*>(ctx->State), _mm_shuffle_epi32(abcd, 0x1B));
    ctx->State[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
    for (int i = 0; i < 4; ++i) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(ctx->Block + 4 * i),
                         _mm_shuffle_epi32(msg[i], 0x1B));
    }
}

// -1 until the processor has been asked, then 0 or 1. Process-wide and read by
// every compression, so atomic: threads hashing for the first time at once may
// each ask the processor, and agree. Relaxed order suffices, since nothing else
// is published with it; a load is a plain load on x86.
std::atomic<int> g_shaInstructions{-1};

bool ProcessorHasShaInstructions() {
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || (ecx & bit_SSE4_1) == 0) {
        return false;
    }
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & bit_SHA) != 0;
}
#endif

// Compresses `blocks` consecutive 64-byte blocks of data into the state.
void Sha1Transform(Sha1Context* ctx, const uint8_t* data, size_t blocks) {
#ifdef QX_SHA1_X86
    int use = g_shaInstructions.load(std::memory_order_relaxed);
    if (use < 0) {
        use = ProcessorHasShaInstructions() ? 1 : 0;
        // Stored only while still unasked, so that a Sha1SetAccelerated in the
        // meantime is not overwritten (this one compression may differ from it:
        // both ways give the same state).
        int unasked = -1;
        g_shaInstructions.compare_exchange_strong(unasked, use, std::memory_order_relaxed);
    }
    if (use != 0) {
        Sha1TransformShaNi(ctx, data, blocks);
        return;
    }
#endif
    for (; blocks > 0; --blocks, data += 64) {
        Sha1TransformPortable(ctx, data);
    }
}

}  // namespace

bool Sha1SetAccelerated(bool allowed) {
#ifdef QX_SHA1_X86
    const int use = allowed && ProcessorHasShaInstructions() ? 1 : 0;
    g_shaInstructions.store(use, std::memory_order_relaxed);
    // What the compressions will read, so that a caller sees the choice in force.
    return g_shaInstructions.load(std::memory_order_relaxed) == 1;
#else
    (void)allowed;
    return false;
#endif
}

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
        Sha1Transform(ctx, ctx->Buffer, 1);
        const uint32_t blocks = (length - offset) / 64;
        if (blocks > 0) {
            Sha1Transform(ctx, data + offset, blocks);
            offset += 64 * blocks;
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
    Sha1Transform(ctx, ctx->Buffer, 1);
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

void Sha1Digest(const uint8_t* data, uint32_t length, uint8_t digest[SHA1_DIGEST_SIZE]) {
    Sha1Context ctx;
    Sha1Initialize(&ctx);
    Sha1Update(&ctx, data, length);
    Sha1Final(&ctx);
    Sha1GetDigest(&ctx, digest);
    SecureWipe(&ctx, sizeof ctx);
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

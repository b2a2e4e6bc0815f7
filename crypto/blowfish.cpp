#include "crypto/blowfish.h"

#include <cstring>

#include "common/le_bytes.h"

namespace {

constexpr uint32_t kMaxKeyBytes = 16;

inline uint32_t F(const BlowfishContext* ctx, uint32_t x) {
    return ((ctx->S[0][x >> 24] + ctx->S[1][(x >> 16) & 0xFF]) ^ ctx->S[2][(x >> 8) & 0xFF]) +
           ctx->S[3][x & 0xFF];
}

// The sixteen rounds, written out two at a time so that no exchange is needed:
// the halves alternate roles and the final exchange is folded into the stores. P
// is walked upwards for enciphering and downwards for deciphering.
template <int Step>
inline void Rounds(const BlowfishContext* ctx, uint32_t* left, uint32_t* right) {
    const uint32_t* p = Step > 0 ? ctx->P : ctx->P + 17;
    uint32_t l = *left;
    uint32_t r = *right;
#define QX_TWO_ROUNDS(i)                  \
    l ^= p[Step * (i)];                   \
    r ^= F(ctx, l) ^ p[Step * ((i) + 1)]; \
    l ^= F(ctx, r);
    QX_TWO_ROUNDS(0)
    QX_TWO_ROUNDS(2)
    QX_TWO_ROUNDS(4)
    QX_TWO_ROUNDS(6)
    QX_TWO_ROUNDS(8)
    QX_TWO_ROUNDS(10)
    QX_TWO_ROUNDS(12)
    QX_TWO_ROUNDS(14)
#undef QX_TWO_ROUNDS
    *left = r ^ p[Step * 17];
    *right = l ^ p[Step * 16];
}

void EncipherBlock(const BlowfishContext* ctx, uint32_t* left, uint32_t* right) {
    Rounds<1>(ctx, left, right);
}

}  // namespace

bool BlowfishInitialize(BlowfishContext* ctx, const uint8_t* key, uint32_t keyLength) {
    if (ctx == nullptr) {
        return false;
    }
    if (keyLength > kMaxKeyBytes) {
        keyLength = kMaxKeyBytes;
    }
    std::memcpy(ctx, &kBlowfishInitialTables, sizeof *ctx);

    // An empty key has nothing to mix in; the context keeps the plain tables
    // through the subkey generation below.
    if (keyLength > 0) {
        uint32_t j = 0;
        for (int i = 0; i < 18; ++i) {
            uint32_t word = 0;
            for (int k = 0; k < 4; ++k) {
                // Key bytes are signed here: a byte of 0x80 or more fills the
                // bits above it with ones.
                const int32_t extended = static_cast<int8_t>(key[j]);
                word = (word << 8) | static_cast<uint32_t>(extended);
                if (++j == keyLength) {
                    j = 0;
                }
            }
            ctx->P[i] ^= word;
        }
    }

    uint32_t l = 0;
    uint32_t r = 0;
    for (int i = 0; i < 18; i += 2) {
        EncipherBlock(ctx, &l, &r);
        ctx->P[i] = l;
        ctx->P[i + 1] = r;
    }
    for (int box = 0; box < 4; ++box) {
        for (int i = 0; i < 256; i += 2) {
            EncipherBlock(ctx, &l, &r);
            ctx->S[box][i] = l;
            ctx->S[box][i + 1] = r;
        }
    }
    return true;
}

bool BlowfishEncipher(const BlowfishContext* ctx, uint32_t* left, uint32_t* right) {
    if (ctx == nullptr || left == nullptr || right == nullptr) {
        return false;
    }
    Rounds<1>(ctx, left, right);
    return true;
}

bool BlowfishDecipher(const BlowfishContext* ctx, uint32_t* left, uint32_t* right) {
    if (ctx == nullptr || left == nullptr || right == nullptr) {
        return false;
    }
    Rounds<-1>(ctx, left, right);
    return true;
}

namespace {

template <bool Encipher>
uint32_t CipherBlocks(const BlowfishContext* ctx, uint8_t* data, uint32_t blockCount) {
    for (uint32_t i = 0; i < blockCount; ++i) {
        uint8_t* block = data + 8 * i;
        uint32_t left = LoadLe32(block);
        uint32_t right = LoadLe32(block + 4);
        const bool ok =
            Encipher ? BlowfishEncipher(ctx, &left, &right) : BlowfishDecipher(ctx, &left, &right);
        if (!ok) {
            return i;
        }
        StoreLe32(block, left);
        StoreLe32(block + 4, right);
    }
    return blockCount;
}

}  // namespace

uint32_t BlowfishEncipherBlocks(const BlowfishContext* ctx, uint8_t* data, uint32_t blockCount) {
    return CipherBlocks<true>(ctx, data, blockCount);
}

uint32_t BlowfishDecipherBlocks(const BlowfishContext* ctx, uint8_t* data, uint32_t blockCount) {
    return CipherBlocks<false>(ctx, data, blockCount);
}

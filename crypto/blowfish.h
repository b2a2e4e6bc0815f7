// Blowfish with this system's key schedule: at most 16 key bytes, and key bytes
// sign-extended when the key words are built.
#pragma once

#include <cstdint>

// The expanded key: 18 P-array words then four 256-word S-boxes, 1042 words.
struct BlowfishContext {
    uint32_t P[18];
    uint32_t S[4][256];
};
static_assert(sizeof(BlowfishContext) == 4168, "BlowfishContext is 1042 words");

// The published initial tables (hexadecimal digits of pi), in context layout.
extern const BlowfishContext kBlowfishInitialTables;

// Keys ctx with the first min(keyLength, 16) bytes of key. False only for a null ctx.
bool BlowfishInitialize(BlowfishContext* ctx, const uint8_t* key, uint32_t keyLength);
// Enciphers the block (left, right) in place. False when any pointer is null.
bool BlowfishEncipher(const BlowfishContext* ctx, uint32_t* left, uint32_t* right);
// Deciphers the block (left, right) in place. False when any pointer is null.
bool BlowfishDecipher(const BlowfishContext* ctx, uint32_t* left, uint32_t* right);

// ECB over blockCount 8-byte blocks at data, in place, each block two little-endian
// words (left, then right): how blocks travel in driver messages. Returns the
// number of blocks done, which is blockCount unless the cipher refused (null ctx).
uint32_t BlowfishEncipherBlocks(const BlowfishContext* ctx, uint8_t* data, uint32_t blockCount);
uint32_t BlowfishDecipherBlocks(const BlowfishContext* ctx, uint8_t* data, uint32_t blockCount);

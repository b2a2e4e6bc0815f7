// SHA-1 (FIPS 180-1) and HMAC-SHA1 (RFC 2104) over a caller-owned context.
#pragma once

#include <cstddef>
#include <cstdint>

// The running state of one digest. Plain data, no interior pointers.
struct Sha1Context {
    uint32_t State[5];   // chaining values H0..H4
    uint32_t Count[2];   // bits absorbed so far, low word first
    uint8_t Buffer[64];  // the current incomplete block
    uint8_t Digest[20];  // result of the last Sha1Final
    uint32_t Block[16];  // working block: the message schedule of one compression
};
static_assert(sizeof(Sha1Context) == 176, "Sha1Context is 44 words");
static_assert(offsetof(Sha1Context, Buffer) == 28 && offsetof(Sha1Context, Digest) == 92 &&
                  offsetof(Sha1Context, Block) == 112,
              "Sha1Context's fields in their order, unpadded");

constexpr uint32_t SHA1_DIGEST_SIZE = 20;

// Sets the count to 0 and the state to the initial values. Returns ctx (null for null).
Sha1Context* Sha1Initialize(Sha1Context* ctx);
// Absorbs length bytes of data. Null context or data: nothing.
void Sha1Update(Sha1Context* ctx, const uint8_t* data, uint32_t length);
// Pads and finishes: stores the digest in ctx->Digest and clears the running state
// (then compresses the cleared buffer once, which also wipes the working block).
// The context must be initialised again before it hashes anything else.
void Sha1Final(Sha1Context* ctx);
// Copies ctx->Digest to out. Returns ctx; with a null context out is not written.
Sha1Context* Sha1GetDigest(Sha1Context* ctx, uint8_t out[SHA1_DIGEST_SIZE]);
// The SHA-1 digest of length bytes of data into digest, on a context of its own
// that is wiped before it returns.
void Sha1Digest(const uint8_t* data, uint32_t length, uint8_t digest[SHA1_DIGEST_SIZE]);
// HMAC-SHA1 of message under key into mac, every hash on ctx; ctx is initialised
// again afterwards. Does nothing when ctx, key, message or mac is null.
void HmacSha1(Sha1Context* ctx, const uint8_t* key, uint32_t keyLength, const uint8_t* message,
              uint32_t messageLength, uint8_t mac[SHA1_DIGEST_SIZE]);
// Whether compressions may use the processor's SHA instructions where it has them
// (allowed by default); both ways give the same digests and leave the working
// block alike. Returns whether the instructions are in use from now on.
bool Sha1SetAccelerated(bool allowed);

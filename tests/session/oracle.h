// The driver's side of the handshake computed with OpenSSL only, so the client's
// messages are checked against arithmetic that shares no code with it.
#pragma once

#include <cstdint>
#include <vector>

#include <openssl/blowfish.h>
#include <openssl/bn.h>

#include "platform/platform.h"

namespace oracle {

using Bytes = std::vector<uint8_t>;

extern const uint8_t kKa[16];

// The hdrand generator, rebuilt from its description on OpenSSL's SHA-1.
struct Generator {
    uint8_t pool[20];
    uint32_t index;
    void Seed(int64_t counter, const platform::SystemTime& time);
    uint32_t Get();
};

// The 12 draws of one handshake: x (3), client nonce (5), Ks (4).
struct Draws {
    uint32_t x[3];
    uint8_t nonce[20];
    uint8_t ks[16];
};
Draws DrawsFor(int64_t counter, const platform::SystemTime& time);

Bytes Sha1(const Bytes& data);
Bytes Hmac(const Bytes& key, const Bytes& message);
Bytes Concat(const Bytes& a, const Bytes& b);

// 132-byte little-endian numbers.
BIGNUM* ToBn(const uint8_t* bytes132);
Bytes FromBn(const BIGNUM* bn);
const BIGNUM* Prime();
// base^exponent mod p, as 132 bytes.
Bytes ModExp(const Bytes& base, const Bytes& exponent);
Bytes Number(uint32_t small);
// p + delta (delta may be negative), as 132 bytes.
Bytes PrimePlus(int delta);
// x as a 132-byte number.
Bytes Exponent(const uint32_t x[3]);

// Blowfish keyed the way this system keys it: key bytes sign-extended into the
// P-array words. Built by handing OpenSSL the 18 finished words as a 72-byte key.
void SystemBlowfishKey(BF_KEY* key, const uint8_t* bytes, size_t length);
void Encipher(const BF_KEY& key, uint32_t* left, uint32_t* right);
void Decipher(const BF_KEY& key, uint32_t* left, uint32_t* right);

uint32_t Le32(const uint8_t* p);
void PutLe32(uint8_t* p, uint32_t v);

}  // namespace oracle

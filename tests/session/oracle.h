// The driver's side of the handshake, computed apart from the client so that its
// messages are checked against arithmetic that does not share the client's code
// paths. Natively the arithmetic is OpenSSL's (oracle_openssl.cpp); where there is
// no OpenSSL (the cross build) it is the project's known-answer-tested SHA-1,
// Blowfish rounds and modular power under the oracle's own HMAC, key schedule and
// number layout (oracle_primitives.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/platform.h"

namespace oracle {

using Bytes = std::vector<uint8_t>;

extern const uint8_t kKa[16];

// The hdrand generator, rebuilt from its description on the oracle's SHA-1.
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
// The prime of the 1024-bit MODP group as the oracle knows it.
Bytes Prime();
// base^exponent mod p.
Bytes ModExp(const Bytes& base, const Bytes& exponent);
Bytes Number(uint32_t small);
// p + delta (delta may be negative).
Bytes PrimePlus(int delta);
// x as a 132-byte number.
Bytes Exponent(const uint32_t x[3]);

// The 18 P-array key words this system builds from at most 16 key bytes, each byte
// sign-extended; standard Blowfish keyed with them as a 72-byte key is this system's
// cipher.
void SystemKeyWords(const uint8_t* bytes, size_t length, uint32_t words[18]);

// Blowfish keyed the way this system keys it.
class Cipher {
  public:
    Cipher(const uint8_t* key, size_t length);
    ~Cipher();
    Cipher(const Cipher&) = delete;
    Cipher& operator=(const Cipher&) = delete;
    void Encipher(uint32_t* left, uint32_t* right) const;
    void Decipher(uint32_t* left, uint32_t* right) const;

  private:
    struct Schedule;
    std::unique_ptr<Schedule> schedule_;
};

uint32_t Le32(const uint8_t* p);
void PutLe32(uint8_t* p, uint32_t v);

}  // namespace oracle

// The oracle's arithmetic on OpenSSL, which shares no code with the client.
#include <openssl/blowfish.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "tests/session/oracle.h"

namespace oracle {

Bytes Sha1(const Bytes& data) {
    Bytes digest(20);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha1(), nullptr);
    return digest;
}

Bytes Hmac(const Bytes& key, const Bytes& message) {
    Bytes mac(20);
    unsigned int length = 0;
    HMAC(EVP_sha1(), key.data(), int(key.size()), message.data(), message.size(), mac.data(),
         &length);
    return mac;
}

namespace {

Bytes FromBn(const BIGNUM* bn) {
    Bytes out(132);
    BN_bn2lebinpad(bn, out.data(), 132);
    return out;
}

const BIGNUM* PrimeBn() {
    static BIGNUM* prime = BN_get_rfc2409_prime_1024(nullptr);
    return prime;
}

}  // namespace

Bytes Prime() {
    return FromBn(PrimeBn());
}

Bytes ModExp(const Bytes& base, const Bytes& exponent) {
    BIGNUM* b = BN_lebin2bn(base.data(), 132, nullptr);
    BIGNUM* e = BN_lebin2bn(exponent.data(), 132, nullptr);
    BIGNUM* r = BN_new();
    BN_CTX* ctx = BN_CTX_new();
    BN_mod_exp(r, b, e, PrimeBn(), ctx);
    const Bytes out = FromBn(r);
    BN_CTX_free(ctx);
    BN_free(r);
    BN_free(e);
    BN_free(b);
    return out;
}

struct Cipher::Schedule {
    BF_KEY key;
};

// OpenSSL is handed the 18 finished words as a 72-byte key.
Cipher::Cipher(const uint8_t* key, size_t length) : schedule_(new Schedule) {
    uint32_t words[18];
    SystemKeyWords(key, length, words);
    uint8_t bytes[72];
    for (int i = 0; i < 18; ++i) {
        bytes[4 * i] = uint8_t(words[i] >> 24);
        bytes[4 * i + 1] = uint8_t(words[i] >> 16);
        bytes[4 * i + 2] = uint8_t(words[i] >> 8);
        bytes[4 * i + 3] = uint8_t(words[i]);
    }
    BF_set_key(&schedule_->key, sizeof bytes, bytes);
}

Cipher::~Cipher() = default;

void Cipher::Encipher(uint32_t* left, uint32_t* right) const {
    BF_LONG data[2] = {*left, *right};
    BF_encrypt(data, &schedule_->key);
    *left = uint32_t(data[0]);
    *right = uint32_t(data[1]);
}

void Cipher::Decipher(uint32_t* left, uint32_t* right) const {
    BF_LONG data[2] = {*left, *right};
    BF_decrypt(data, &schedule_->key);
    *left = uint32_t(data[0]);
    *right = uint32_t(data[1]);
}

}  // namespace oracle

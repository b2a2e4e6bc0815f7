// The oracle's arithmetic where there is no OpenSSL: the project's SHA-1, Blowfish
// rounds and modular power, each checked against published known answers by the
// crypto and bigint tests. HMAC, the key schedule, the group's prime and the
// number layout are the oracle's own, not the client's.
#include <string>

#include "crypto/bigint.h"
#include "crypto/blowfish.h"
#include "crypto/sha1.h"
#include "tests/session/oracle.h"

namespace oracle {

Bytes Sha1(const Bytes& data) {
    Sha1Context ctx;
    Sha1Initialize(&ctx);
    Sha1Update(&ctx, data.data(), uint32_t(data.size()));
    Sha1Final(&ctx);
    Bytes digest(20);
    Sha1GetDigest(&ctx, digest.data());
    return digest;
}

// RFC 2104 over the oracle's SHA-1.
Bytes Hmac(const Bytes& key, const Bytes& message) {
    Bytes block = key.size() > 64 ? Sha1(key) : key;
    block.resize(64, 0);
    Bytes inner(64), outer(64);
    for (size_t i = 0; i < 64; ++i) {
        inner[i] = block[i] ^ 0x36;
        outer[i] = block[i] ^ 0x5C;
    }
    return Sha1(Concat(outer, Sha1(Concat(inner, message))));
}

// The prime as RFC 2409 prints it, most significant first.
Bytes Prime() {
    static const char kHex[] =
        "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74"
        "020BBEA63B139B22514A08798E3404DDEF9519B3CD3A431B302B0A6DF25F1437"
        "4FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7ED"
        "EE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381FFFFFFFFFFFFFFFF";
    Bytes out(132, 0);
    for (size_t i = 0; i < 128; ++i) {
        out[127 - i] = uint8_t(std::stoul(std::string(kHex + 2 * i, 2), nullptr, 16));
    }
    return out;
}

namespace {

// A 132-byte number as 34 words with a zero sign word on top: never negative.
std::vector<uint32_t> Words(const Bytes& number) {
    std::vector<uint32_t> words(34, 0);
    for (size_t i = 0; i < 33; ++i) {
        words[i] = Le32(number.data() + 4 * i);
    }
    return words;
}

}  // namespace

// Empty when powmod refuses, which no comparison then accepts.
Bytes ModExp(const Bytes& base, const Bytes& exponent) {
    const std::vector<uint32_t> b = Words(base), e = Words(exponent), p = Words(Prime());
    // The result may keep one word more than the modulus; its value fits in 33.
    uint32_t result[35] = {};
    if (!powmod(result, 35, b.data(), 34, e.data(), 34, p.data(), 34)) {
        return Bytes();
    }
    Bytes out(132);
    for (size_t i = 0; i < 33; ++i) {
        PutLe32(out.data() + 4 * i, result[i]);
    }
    return out;
}

// Standard Blowfish keyed with the 72 bytes of this system's key words: the words
// into the initial P-array, then the tables replaced by enciphering a zero block.
struct Cipher::Schedule {
    BlowfishContext ctx;
};

Cipher::Cipher(const uint8_t* key, size_t length) : schedule_(new Schedule) {
    BlowfishContext& ctx = schedule_->ctx;
    ctx = kBlowfishInitialTables;
    uint32_t words[18];
    SystemKeyWords(key, length, words);
    for (int i = 0; i < 18; ++i) {
        ctx.P[i] ^= words[i];
    }
    uint32_t left = 0, right = 0;
    for (int i = 0; i < 18; i += 2) {
        BlowfishEncipher(&ctx, &left, &right);
        ctx.P[i] = left;
        ctx.P[i + 1] = right;
    }
    for (auto& box : ctx.S) {
        for (int i = 0; i < 256; i += 2) {
            BlowfishEncipher(&ctx, &left, &right);
            box[i] = left;
            box[i + 1] = right;
        }
    }
}

Cipher::~Cipher() = default;

void Cipher::Encipher(uint32_t* left, uint32_t* right) const {
    BlowfishEncipher(&schedule_->ctx, left, right);
}

void Cipher::Decipher(uint32_t* left, uint32_t* right) const {
    BlowfishDecipher(&schedule_->ctx, left, right);
}

}  // namespace oracle

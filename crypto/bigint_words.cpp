// The word-array entries of the big-integer arithmetic that the handshake calls: a
// modular power from and to arrays of 32-bit words, and the power of two. Each
// wipes the secret it was handed and the stack its arithmetic used.
#include "crypto/bigint.h"

#include <cstddef>

#include "crypto/wipe.h"

namespace {

// Deeper than the arithmetic under powmod ever reaches: a modular power with a
// 1024-bit modulus uses about 27 KB of stack, 18 KB of it the divisor's shifted
// copies.
constexpr size_t kScrubBytes = 48 * 1024;

// Overwrites the stack just below the caller's frame, where the temporaries of the
// arithmetic it called have been left. Kept out of line so that its frame lies there.
__attribute__((noinline)) void ScrubStackBelow() {
    unsigned char scratch[kScrubBytes];
    SecureWipe(scratch, sizeof scratch);
}

}  // namespace

bool powmod(uint32_t* result, uint32_t resultWords, const uint32_t* base, uint32_t baseWords,
            const uint32_t* exponent, uint32_t exponentWords, const uint32_t* modulus,
            uint32_t modulusWords) {
    BigInt power, baseValue, exponentValue, modulusValue;
    baseValue.LoadWords(base, baseWords);
    exponentValue.LoadWords(exponent, exponentWords);
    modulusValue.LoadWords(modulus, modulusWords);
    bool stored = false;
    if (result != nullptr && base != nullptr && exponent != nullptr && modulus != nullptr) {
        BigPowerMod(baseValue, exponentValue, modulusValue, power);
        stored = power.StoreWords(result, resultWords);
    }
    // The exponent is the caller's secret and the result may be a shared one; every
    // intermediate power of the base is a step towards either.
    SecureWipe(&exponentValue, sizeof exponentValue);
    SecureWipe(&power, sizeof power);
    ScrubStackBelow();
    return stored;
}

bool pow2mod(uint32_t* result, uint32_t resultWords, const uint32_t* exponent,
             uint32_t exponentWords, const uint32_t* modulus, uint32_t modulusWords) {
    const uint32_t two[1] = {2};
    return powmod(result, resultWords, two, 1, exponent, exponentWords, modulus, modulusWords);
}

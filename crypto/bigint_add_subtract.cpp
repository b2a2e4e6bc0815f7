// Addition and subtraction of signed big integers. A subtraction adds the negated
// subtrahend without forming it.
#include "crypto/bigint.h"

#include <exception>

#include "crypto/bigint_internal.h"
#include "platform/platform.h"

using bigint_internal::IsZero;
using bigint_internal::kAllOnes;
using bigint_internal::SignificantWordsOf;
using bigint_internal::SignWordOf;

namespace {

// BitLength of -v for a normalised v other than zero, without forming -v. A positive
// power of two 2^(L-1) negates to a value of the same width, -2^(L-1) to one of width
// L; every other value gains or loses the sign bit.
int32_t NegatedBitLength(const BigInt& v) {
    const bool negative = v.BitLength < 0;
    const int32_t length = negative ? -v.BitLength : v.BitLength;
    const uint32_t top = static_cast<uint32_t>(length - 1) / 32;
    const uint32_t bit = static_cast<uint32_t>(length - 1) % 32;
    bool powerOfTwo = v.Words[top] == (negative ? kAllOnes << bit : 1u << bit);
    for (uint32_t i = 0; powerOfTwo && i < top; ++i) {
        powerOfTwo = v.Words[i] == 0;
    }
    if (negative) {
        return powerOfTwo ? length : length - 1;
    }
    return powerOfTwo ? -length : -length - 1;
}

// One operand of a sum as the sum reads it: its stored words worth reading, then its
// sign word, each inverted by `invert`. A subtrahend is added as its words inverted
// with a one carried in, which sum to the same words and the same final carry as the
// two's complement that Negate would store.
struct Addend {
    const uint32_t* words;
    // Stored words worth reading: a value shifted into bit 31 of its top word counts
    // one significant word more than it stores.
    uint32_t storedWords;
    uint32_t signWord;  // of the operand as stored, before the inversion
    uint32_t invert;    // 0, or all ones for a subtrahend other than zero
    // Significant words of the value added: for a subtrahend, those of its negation.
    uint32_t significantWords;
};

Addend AddendOf(const BigInt& v) {
    const uint32_t significant = v.SignificantWords();
    const uint32_t stored = significant < v.WordCount ? significant : v.WordCount;
    return {v.Words, stored, SignWordOf(v), 0, significant};
}

// b as the negated addend of a subtraction. The fatal conditions are those of
// Negate on a copy of b.
Addend SubtrahendOf(const BigInt& b) {
    Addend subtrahend = AddendOf(b);
    if (!IsZero(b)) {
        if (b.WordCount == BIGINT_MAX_WORDS && b.IsMostNegative()) {
            // Negate would have to grow beyond the capacity.
            platform::RaiseIntegerOverflow();
        }
        subtrahend.significantWords = SignificantWordsOf(NegatedBitLength(b));
        subtrahend.invert = kAllOnes;
    }
    return subtrahend;
}

// The larger operand's significant words, below the sum's carry word. A sum that
// would need more than the capacity with that word ends the process as BigAdd's
// output would: through Resize when it is an operand (inPlace), Prepare otherwise.
uint32_t WordsBelowCarry(const Addend& a, const Addend& b, bool inPlace) {
    const uint32_t m =
        a.significantWords > b.significantWords ? a.significantWords : b.significantWords;
    if (m + 1 > BIGINT_MAX_WORDS) {
        if (inPlace) {
            platform::RaiseIntegerOverflow();  // as Resize
        }
        std::terminate();  // as Prepare
    }
    return m;
}

// Words 0 to m - 1 of out = a + b plus the carry in; returns the carry out. The
// operands' words are each read before the output word of the same index is
// written, so out may be either operand.
uint64_t AddWordsBelow(uint32_t m, const Addend& a, const Addend& b, uint64_t carry, BigInt& out) {
    const uint32_t common = a.storedWords < b.storedWords ? a.storedWords : b.storedWords;
    uint32_t i = 0;
    for (; i < common && i < m; ++i) {
        const uint64_t sum = static_cast<uint64_t>(a.words[i]) + (b.words[i] ^ b.invert) + carry;
        out.Words[i] = static_cast<uint32_t>(sum);
        carry = sum >> 32;
    }
    for (; i < m; ++i) {
        const uint32_t aWord = i < a.storedWords ? a.words[i] : a.signWord;
        const uint32_t bWord = (i < b.storedWords ? b.words[i] : b.signWord) ^ b.invert;
        const uint64_t sum = static_cast<uint64_t>(aWord) + bWord + carry;
        out.Words[i] = static_cast<uint32_t>(sum);
        carry = sum >> 32;
    }
    return carry;
}

// out = a + b, or out = a - b when subtract is set. The word count and the fatal
// conditions are those of BigAdd on a and -b: the output is resized when it is one
// of the addends (for subtraction, only a counts: -b would be a copy), and prepared
// otherwise. Every output word below m is written, and word m too when it is kept,
// so the fill of Resize and Prepare never shows.
void AddOrSubtract(const BigInt& a, const BigInt& b, bool subtract, BigInt& out) {
    const Addend augend = AddendOf(a);
    const Addend addend = subtract ? SubtrahendOf(b) : AddendOf(b);
    const bool inPlace = &out == &a || (!subtract && &out == &b);
    const uint32_t m = WordsBelowCarry(augend, addend, inPlace);
    const uint64_t carryIn = addend.invert != 0 ? 1 : 0;
    const uint64_t carry = AddWordsBelow(m, augend, addend, carryIn, out);
    const uint32_t aSign = augend.signWord;
    const uint32_t bSign = addend.signWord ^ addend.invert;
    if (aSign == bSign) {
        // Two non-negative addends: the carry word. Two negative ones: their sign
        // words plus the carry, so that the exact sum keeps its sign.
        out.Words[m] = static_cast<uint32_t>(aSign + bSign + carry);
        out.WordCount = m + 1;
    } else {
        // Opposite signs: the carry is dropped.
        out.WordCount = m;
    }
    out.Normalize();
}

}  // namespace

void BigAdd(const BigInt& a, const BigInt& b, BigInt& out) {
    AddOrSubtract(a, b, false, out);
}

void BigSubtract(const BigInt& a, const BigInt& b, BigInt& out) {
    AddOrSubtract(a, b, true, out);
}

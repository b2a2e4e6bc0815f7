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

// out = a + b, or out = a - b when subtract is set. Subtraction adds -b without
// forming it: its words are those of b inverted with one carried in, which sum to
// the same words and the same final carry as the two's complement that Negate
// would store. The word count and the fatal conditions are those of BigAdd on a
// and -b: the output is resized when it is one of the addends (for subtraction,
// only a counts: -b would be a copy), and prepared otherwise.
void AddOrSubtract(const BigInt& a, const BigInt& b, bool subtract, BigInt& out) {
    const uint32_t na = a.SignificantWords();
    const uint32_t aSign = SignWordOf(a);
    // Stored words worth reading: a value shifted into bit 31 of its top word counts
    // one significant word more than it stores.
    const uint32_t aStored = na < a.WordCount ? na : a.WordCount;
    const uint32_t bSignificant = b.SignificantWords();
    const uint32_t bStored = bSignificant < b.WordCount ? bSignificant : b.WordCount;
    const uint32_t bFill = SignWordOf(b);
    uint32_t nb = bSignificant;
    uint32_t flip = 0;
    uint64_t carry = 0;
    bool inPlace = &out == &a || &out == &b;
    if (subtract) {
        inPlace = &out == &a;
        if (!IsZero(b)) {
            if (b.WordCount == BIGINT_MAX_WORDS && b.IsMostNegative()) {
                // Negate would have to grow beyond the capacity.
                platform::RaiseIntegerOverflow();
            }
            nb = SignificantWordsOf(NegatedBitLength(b));
            flip = kAllOnes;
            carry = 1;
        }
    }
    const uint32_t bSign = bFill ^ flip;
    const uint32_t m = na > nb ? na : nb;
    if (m + 1 > BIGINT_MAX_WORDS) {
        if (inPlace) {
            platform::RaiseIntegerOverflow();  // as Resize
        }
        std::terminate();  // as Prepare
    }
    // Every output word below m is written, and word m too when it is kept, so the
    // fill of Resize and Prepare never shows; the operands' words are each read
    // before the output word of the same index is written.
    const uint32_t common = aStored < bStored ? aStored : bStored;
    uint32_t i = 0;
    for (; i < common && i < m; ++i) {
        const uint64_t sum = static_cast<uint64_t>(a.Words[i]) + (b.Words[i] ^ flip) + carry;
        out.Words[i] = static_cast<uint32_t>(sum);
        carry = sum >> 32;
    }
    for (; i < m; ++i) {
        const uint32_t x = i < aStored ? a.Words[i] : aSign;
        const uint32_t y = (i < bStored ? b.Words[i] : bFill) ^ flip;
        const uint64_t sum = static_cast<uint64_t>(x) + y + carry;
        out.Words[i] = static_cast<uint32_t>(sum);
        carry = sum >> 32;
    }
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

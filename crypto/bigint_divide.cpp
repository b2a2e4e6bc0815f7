// Division of signed big integers with remainder: one 64-by-32-bit division a word
// for a one-word divisor, and for longer ones a long division that brings the
// dividend in a bit at a time and subtracts the divisor in whole limbs.
#include "crypto/bigint.h"

#include <cstring>

#include "crypto/bigint_internal.h"
#include "platform/platform.h"

using bigint_internal::IsNegative;
using bigint_internal::IsZero;
using bigint_internal::kLimbBits;
using bigint_internal::kLimbs;
using bigint_internal::kTopBit;
using bigint_internal::Limb;
using bigint_internal::Magnitude;
using bigint_internal::ShiftedDivisor;
using bigint_internal::SubtractWithBorrow;

namespace {

uint32_t LimbBits(Limb v) {
    if (v == 0) {
        return 0;
    }
    return sizeof(Limb) == 8 ? 64 - __builtin_clzll(v) : 32 - __builtin_clz(v);
}

void ShiftDivisor(const BigInt& b, ShiftedDivisor& shifted) {
    const uint32_t bWords = b.SignificantWords() < b.WordCount ? b.SignificantWords() : b.WordCount;
    Limb* base = shifted.copies[0];
    std::memset(base, 0, sizeof shifted.copies[0]);
    std::memcpy(base, b.Words, bWords * sizeof(uint32_t));
    const int32_t span = (b.BitLength - 1) / static_cast<int32_t>(kLimbBits) + 2;
    shifted.span = span;
    for (uint32_t s = 1; s < kLimbBits; ++s) {
        Limb* copy = shifted.copies[s];
        copy[0] = base[0] << s;
        for (int32_t i = 1; i < span; ++i) {
            copy[i] = (base[i] << s) | (base[i - 1] >> (kLimbBits - s));
        }
    }
}

// Whether the limbs at `at` are below the shifted copy, both `span` limbs long.
bool IsBelow(const Limb* at, const Limb* copy, int32_t span) {
    for (int32_t i = span - 1; i >= 0; --i) {
        if (at[i] != copy[i]) {
            return at[i] < copy[i];
        }
    }
    return false;
}

// at -= copy over `span` limbs, for limbs at least the copy.
void SubtractLimbs(Limb* at, const Limb* copy, int32_t span) {
    unsigned char borrow = 0;
    int32_t i = 0;
    // Sixteen limbs (a 1024-bit divisor) as one straight chain: the borrow stays in
    // the carry flag, which a loop must save and restore at every turn.
    for (; i + 16 <= span; i += 16) {
#pragma GCC unroll 16
        for (int32_t j = 0; j < 16; ++j) {
            borrow = SubtractWithBorrow(borrow, at[i + j], copy[i + j], &at[i + j]);
        }
    }
    for (; i + 4 <= span; i += 4) {
        borrow = SubtractWithBorrow(borrow, at[i], copy[i], &at[i]);
        borrow = SubtractWithBorrow(borrow, at[i + 1], copy[i + 1], &at[i + 1]);
        borrow = SubtractWithBorrow(borrow, at[i + 2], copy[i + 2], &at[i + 2]);
        borrow = SubtractWithBorrow(borrow, at[i + 3], copy[i + 3], &at[i + 3]);
    }
    for (; i < span; ++i) {
        borrow = SubtractWithBorrow(borrow, at[i], copy[i], &at[i]);
    }
}

// The bit length of the value whose limbs below `limbs` are those of `value`.
int32_t BitsBelow(const Limb* value, int32_t limbs) {
    int32_t top = limbs - 1;
    while (top >= 0 && value[top] == 0) {
        --top;
    }
    return top < 0
               ? 0
               : top * static_cast<int32_t>(kLimbBits) + static_cast<int32_t>(LimbBits(value[top]));
}

// The limbs of a 1024-bit divisor's span below its top three: the chain that the
// handshake's reductions run, written out straight.
constexpr int32_t kGroupLowLimbs = (1024 - 1) / static_cast<int32_t>(kLimbBits) + 2 - 3;

void SubtractGroupLowLimbs(Limb* at, const Limb* copy) {
    unsigned char borrow = 0;
#pragma GCC unroll 32
    for (int32_t i = 0; i < kGroupLowLimbs; ++i) {
        borrow = SubtractWithBorrow(borrow, at[i], copy[i], &at[i]);
    }
}

// Subtracts the shifted copy from the `span` limbs at limb `offset` of value, which
// are at least the copy; returns the bit length of the whole value after it.
//
// The next step reads only the top of the difference, so its top three limbs are
// worked out first, on their own: the borrow into them is whether the limbs below
// are below the copy's, which the highest of those decides unless it equals the
// copy's. The long chain below then no longer holds up the next step's comparison.
int32_t SubtractCopy(Limb* value, int32_t offset, const Limb* copy, int32_t span) {
    Limb* at = value + offset;
    const int32_t low = span - 3;
    if (low < 1 || at[low - 1] == copy[low - 1]) {
        SubtractLimbs(at, copy, span);
        return BitsBelow(value, offset + span);
    }
    Limb high[3];
    unsigned char borrow = at[low - 1] < copy[low - 1] ? 1 : 0;
    borrow = SubtractWithBorrow(borrow, at[low], copy[low], &high[0]);
    borrow = SubtractWithBorrow(borrow, at[low + 1], copy[low + 1], &high[1]);
    SubtractWithBorrow(borrow, at[low + 2], copy[low + 2], &high[2]);
    if (low == kGroupLowLimbs) {
        SubtractGroupLowLimbs(at, copy);
    } else {
        SubtractLimbs(at, copy, low);
    }
    at[low] = high[0];
    at[low + 1] = high[1];
    at[low + 2] = high[2];
    for (int32_t i = 2; i >= 0; --i) {
        if (high[i] != 0) {
            return (offset + low + i) * static_cast<int32_t>(kLimbBits) +
                   static_cast<int32_t>(LimbBits(high[i]));
        }
    }
    return BitsBelow(value, offset + low);
}

// The long division of positive a by b of more than 32 bits, b <= a, into a zero
// quotient resized to a's significant words and a zero remainder resized to b's:
// bring in the bits of a one at a time from the top, and whenever the remainder
// reaches b subtract b and set that quotient bit.
//
// The dividend's limbs hold the remainder in place: with n bits not brought in
// yet, the remainder is the value's bits from n up and the bits below n are those
// still to come, so bringing a bit in is only lowering n, and subtracting b from
// the remainder is subtracting b * 2^n from the whole. Until the remainder reaches
// b's bit length every comparison is decided by length, so those bits are brought
// in together; at the same length the limbs decide. The remainder ends with the
// word count of the last subtraction: the significant words of the remainder before
// it (a sum of values of opposite signs keeps no carry word).
void LongDivide(const BigInt& dividend, const BigInt& b, BigInt& quotient, BigInt& remainder,
                ShiftedDivisor& shifted) {
    Limb value[kLimbs] = {};
    const uint32_t aWords = static_cast<uint32_t>(dividend.BitLength - 1) / 32 + 1;
    std::memcpy(value, dividend.Words, aWords * sizeof(uint32_t));
    if (shifted.span == 0) {
        ShiftDivisor(b, shifted);
    }
    const int32_t span = shifted.span;
    const int32_t divisorBits = b.BitLength;

    int32_t bits = dividend.BitLength;  // of the whole value
    int32_t n = bits;                   // bits not brought in yet; the last one in is bit n
    uint32_t wordCount = remainder.WordCount;
    for (;;) {
        // Shorter than b: bring bits in until it is as long, when there are enough.
        if (bits < divisorBits) {
            break;
        }
        n = n < bits - divisorBits ? n : bits - divisorBits;
        const Limb* copy = shifted.copies[static_cast<uint32_t>(n) % kLimbBits];
        Limb* at = value + static_cast<uint32_t>(n) / kLimbBits;
        if (IsBelow(at, copy, span)) {
            if (n == 0) {
                break;
            }
            --n;
            copy = shifted.copies[static_cast<uint32_t>(n) % kLimbBits];
        }
        // The in-place subtraction resizes the remainder to one word above the larger
        // operand, the remainder (b's negation takes no more words than b), and keeps
        // that larger count.
        const uint32_t words = static_cast<uint32_t>(bits - n) / 32 + 1;
        if (words + 1 > BIGINT_MAX_WORDS) {
            platform::RaiseIntegerOverflow();
        }
        bits = SubtractCopy(value, static_cast<int32_t>(static_cast<uint32_t>(n) / kLimbBits), copy,
                            span);
        wordCount = words;
        const uint32_t bit = static_cast<uint32_t>(n);
        quotient.Words[bit / 32] |= 1u << (bit % 32);
    }
    std::memcpy(remainder.Words, value, wordCount * sizeof(uint32_t));
    remainder.WordCount = wordCount;
    remainder.BitLength = bits;
}

// A division of its own; out of line, so that its copies of the divisor take no
// stack where the caller keeps them.
__attribute__((noinline)) void LongDivideAlone(const BigInt& dividend, const BigInt& b,
                                               BigInt& quotient, BigInt& remainder) {
    ShiftedDivisor shifted;
    LongDivide(dividend, b, quotient, remainder, shifted);
}

// a and b positive; quotient and remainder distinct from them and from each other.
// shifted: b's shifted copies, kept by the caller, or null.
void DividePositive(const BigInt& a, const BigInt& b, BigInt& quotient, BigInt& remainder,
                    ShiftedDivisor* shifted) {
    if (Compare(b, a) > 0) {
        quotient.SetInt(0);
        remainder.Assign(a);
        return;
    }
    if (b.BitLength <= 32) {
        const uint64_t divisor = b.Words[0];
        quotient.Prepare(a.WordCount);
        uint64_t carried = 0;  // the remainder of the words above word i
        for (uint32_t i = a.WordCount; i-- > 0;) {
            const uint64_t dividend = (carried << 32) | a.Words[i];
            quotient.Words[i] = static_cast<uint32_t>(dividend / divisor);
            carried = dividend % divisor;
        }
        remainder.WordCount = 1;
        remainder.Words[0] = static_cast<uint32_t>(carried);
        if ((carried & kTopBit) != 0) {
            remainder.Words[1] = 0;
            remainder.WordCount = 2;
        }
        remainder.Normalize();
        quotient.Normalize();
        return;
    }

    quotient.SetInt(0);
    quotient.Resize(a.SignificantWords());
    remainder.SetInt(0);
    remainder.Resize(b.SignificantWords());
    if (shifted != nullptr) {
        LongDivide(a, b, quotient, remainder, *shifted);
    } else {
        LongDivideAlone(a, b, quotient, remainder);
    }
    quotient.Normalize();
}

}  // namespace

namespace bigint_internal {

void Divide(const BigInt& a, const BigInt& b, BigInt& quotient, BigInt& remainder,
            ShiftedDivisor* shifted) {
    if (IsZero(b)) {
        platform::RaiseIntegerDivideByZero();
        quotient.SetInt(0);
        remainder.SetInt(0);
        return;
    }
    if (IsZero(a)) {
        quotient.SetInt(0);
        remainder.SetInt(0);
        return;
    }
    if (&quotient == &remainder) {
        BigInt dropped;
        Divide(a, b, quotient, dropped, shifted);
        return;
    }
    if (&quotient == &a || &quotient == &b) {
        BigInt freshQuotient;
        Divide(a, b, freshQuotient, remainder, shifted);
        freshQuotient.MoveTo(quotient);
        return;
    }
    if (&remainder == &a || &remainder == &b) {
        BigInt freshRemainder;
        Divide(a, b, quotient, freshRemainder, shifted);
        freshRemainder.MoveTo(remainder);
        return;
    }
    const bool aNegative = IsNegative(a);
    const bool bNegative = IsNegative(b);
    if (!aNegative && !bNegative) {
        DividePositive(a, b, quotient, remainder, shifted);
        return;
    }
    BigInt scratchA, scratchB;
    DividePositive(*Magnitude(a, scratchA), *Magnitude(b, scratchB), quotient, remainder, shifted);
    if (aNegative && bNegative) {
        remainder.Negate();
        return;
    }
    // Mixed signs: the quotient is truncated, the remainder takes the divisor's sign.
    quotient.Negate();
    if (IsZero(remainder)) {
        return;
    }
    if (aNegative) {
        BigSubtract(b, remainder, remainder);
    } else {
        BigAdd(remainder, b, remainder);
    }
}

}  // namespace bigint_internal

void BigDivide(const BigInt& a, const BigInt& b, BigInt& quotient, BigInt& remainder) {
    bigint_internal::Divide(a, b, quotient, remainder, nullptr);
}

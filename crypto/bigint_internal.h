// What the files of the big-integer arithmetic (crypto/bigint_*.cpp) share: the word
// and limb helpers, the magnitude of a signed value, and the division with the
// divisor's shifted copies that the modular power keeps across its reductions.
// Nothing outside those files includes this header.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "crypto/bigint.h"

namespace bigint_internal {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "word pairs are read as 64-bit words");

constexpr uint32_t kAllOnes = 0xFFFFFFFFu;
constexpr uint32_t kTopBit = 0x80000000u;

inline int LeadingZeros(uint32_t w) {
    return w == 0 ? 32 : __builtin_clz(w);
}

// Number of significant bits of an unsigned word.
inline int32_t WordBits(uint32_t w) {
    return 32 - LeadingZeros(w);
}

inline uint32_t SignWordOf(const BigInt& v) {
    return v.BitLength < 0 ? kAllOnes : 0;
}

inline bool IsZero(const BigInt& v) {
    return v.BitLength == 0;
}

inline bool IsNegative(const BigInt& v) {
    return v.BitLength < 0;
}

// The fewest words that hold a value of this BitLength with its sign bit.
inline uint32_t SignificantWordsOf(int32_t bitLength) {
    if (bitLength == 0) {
        return 0;
    }
    const int32_t magnitudeBits = bitLength > 0 ? bitLength : -1 - bitLength;
    return static_cast<uint32_t>(magnitudeBits) / 32 + 1;
}

inline void CopyWords(uint32_t* to, const uint32_t* from, uint32_t n) {
    std::memcpy(to, from, n * sizeof(uint32_t));
}

// The long division and the sums and differences of the products work in
// machine-word limbs, two words to a limb where the machine has 64-bit registers.
// QUELLIX_BIGINT_WORD_LIMBS asks for one-word limbs anywhere, so that a 64-bit build
// can test the path of 32-bit ones (crypto/CMakeLists.txt builds the library once for
// each limb width).
#if UINTPTR_MAX > 0xFFFFFFFFu && !defined(QUELLIX_BIGINT_WORD_LIMBS)
using Limb = unsigned long long;  // the type of the x86 subtract-with-borrow intrinsic
#else
using Limb = unsigned int;
#endif
constexpr uint32_t kLimbBits = 8 * sizeof(Limb);

// difference = x - y - borrow; returns the borrow out. On x86 the chain of these
// is one subtract-with-borrow instruction a limb.
inline unsigned char SubtractWithBorrow(unsigned char borrow, Limb x, Limb y, Limb* difference) {
#if defined(__x86_64__) && !defined(QUELLIX_BIGINT_WORD_LIMBS)
    return _subborrow_u64(borrow, x, y, difference);
#elif defined(__x86_64__) || defined(__i386__)
    return _subborrow_u32(borrow, x, y, difference);
#else
    const Limb d = x - y;
    const unsigned char under = x < y;
    *difference = d - borrow;
    return under | (d < borrow);
#endif
}

// sum = x + y + carry; returns the carry out, as one add-with-carry instruction on x86.
inline unsigned char AddWithCarry(unsigned char carry, Limb x, Limb y, Limb* sum) {
#if defined(__x86_64__) && !defined(QUELLIX_BIGINT_WORD_LIMBS)
    return _addcarry_u64(carry, x, y, sum);
#elif defined(__x86_64__) || defined(__i386__)
    return _addcarry_u32(carry, x, y, sum);
#else
    const Limb s = x + y;
    const unsigned char over = s < x;
    *sum = s + carry;
    return over | (*sum < carry);
#endif
}

// v itself when it is not negative; otherwise -v, formed in scratch. The signed
// operations work on magnitudes and fix the signs of their results afterwards.
const BigInt* Magnitude(const BigInt& v, BigInt& scratch);

// Room for a value of BIGINT_MAX_WORDS words and a spare limb above its top.
constexpr uint32_t kLimbs = BIGINT_MAX_WORDS * 32 / kLimbBits + 2;

// The divisor shifted left by every bit offset within a limb: copy s is b * 2^s in
// `span` limbs (b's limbs and one for the bits shifted out of its top). Made once
// per divisor (a modular power keeps them for all its reductions), they turn each
// subtraction of b * 2^n into one of whole limbs. A span of 0: not made yet.
struct ShiftedDivisor {
    Limb copies[kLimbBits][kLimbs];
    int32_t span = 0;
};

// BigDivide; shifted: the copies of |b|, kept by the caller, or null.
void Divide(const BigInt& a, const BigInt& b, BigInt& quotient, BigInt& remainder,
            ShiftedDivisor* shifted);

}  // namespace bigint_internal

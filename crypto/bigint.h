// Fixed-capacity signed big integers (67 words, no heap) with modular power.
//
// A value is a two's-complement number held in WordCount 32-bit words, least
// significant first, with its signed bit length cached in BitLength. Words above
// WordCount read as sign words: 0 for a non-negative value, 0xFFFFFFFF for a
// negative one. The capacity is room for the product of two 1024-bit values with
// its sign and carry words; growing beyond it ends the process through the
// platform layer (RaiseIntegerOverflow), as does a division by zero
// (RaiseIntegerDivideByZero, which may return: the quotient and remainder are 0).
#pragma once

#include <cstdint>

constexpr uint32_t BIGINT_MAX_WORDS = 67;

struct BigInt {
    // Number of words stored, 1 to BIGINT_MAX_WORDS. Never trimmed to the minimum:
    // several operations leave spare sign words, and StoreWords compares this count,
    // not the significant words, with the caller's capacity.
    uint32_t WordCount;
    // Zero: 0. Positive v: index of the highest set bit plus one. Negative v: minus the
    // width of its shortest two's-complement form (-1 -> -1, -4 -> -3, -2^31 -> -32).
    int32_t BitLength;
    // Only words 0 to WordCount - 1 are meaningful; the rest are never read.
    uint32_t Words[BIGINT_MAX_WORDS];

    // Zero: one word, BitLength 0. The words above word 0 are left unset.
    BigInt() : WordCount(1), BitLength(0) { Words[0] = 0; }

    void SetInt(int32_t v);
    // Copies WordCount, BitLength and the stored words; nothing for itself.
    void Assign(const BigInt& other);
    // The destination takes this value; this value becomes zero.
    void MoveTo(BigInt& destination);
    // WordCount n, BitLength 0, word 0 zero; the caller writes words 1 to n - 1 next.
    // More than BIGINT_MAX_WORDS ends the process (std::terminate).
    void Prepare(uint32_t n);
    // Grows with sign words or drops the top words (BitLength kept when shrinking).
    // n = 0 counts as 1; more than BIGINT_MAX_WORDS raises the overflow.
    void Resize(uint32_t n);
    // The fewest words that hold the value together with its sign bit (0 for zero).
    uint32_t SignificantWords() const;
    // Word i, or the sign word when i is at or beyond WordCount.
    uint32_t WordAt(uint32_t i) const;
    // Bit i of the stored words, unchecked: keep i below BitLength of a non-negative
    // value.
    uint32_t TestBit(uint32_t i) const;
    // Recomputes BitLength from the stored words; WordCount unchanged.
    void Normalize();
    // The n words as one two's-complement number (top bit of the last word is the
    // sign); zero for a null pointer or n = 0. More than BIGINT_MAX_WORDS words raises
    // the overflow.
    void LoadWords(const uint32_t* words, uint32_t n);
    // Copies exactly WordCount words to the start of words and returns true; false,
    // writing nothing, when WordCount exceeds capacity or words is null.
    bool StoreWords(uint32_t* words, uint32_t capacity) const;
    // -2^(32 * WordCount - 1): the one value whose negation needs another word.
    bool IsMostNegative() const;
    // Ones' complement in place.
    void Complement();
    // Two's-complement negation in place; grows by a word for the most negative value.
    void Negate();
    // Multiplies by 2 in place. A non-negative value may be left with bit 31 of its
    // top word set while BitLength stays positive; WordAt and Resize still read it as
    // non-negative, and the long division relies on that.
    void ShiftLeftBit();
    // Multiplies by 2^(32n) in place.
    void ShiftLeftWords(uint32_t n);
};

// Negative when a < b, 0 when equal, positive when a > b (only the sign counts).
int32_t Compare(const BigInt& a, const BigInt& b);

// Any output may be the same object as any input.
void BigAdd(const BigInt& a, const BigInt& b, BigInt& out);
void BigSubtract(const BigInt& a, const BigInt& b, BigInt& out);
void BigMultiply(const BigInt& a, const BigInt& b, BigInt& out);
// The quotient is truncated toward zero; the remainder takes the divisor's sign, so
// with mixed signs a = quotient * b + remainder does not hold (-7 by 2 gives -3 and 1;
// 7 by -2 gives -3 and -1). A zero divisor raises the division by zero; if that
// returns, quotient and remainder are 0. When quotient and remainder are the same
// object it receives the quotient.
void BigDivide(const BigInt& a, const BigInt& b, BigInt& quotient, BigInt& remainder);
// base^exponent; 1 for a zero exponent (0^0 included), 0 for a negative one.
void BigPower(const BigInt& base, const BigInt& exponent, BigInt& out);
// base^exponent reduced by modulus after every product, in [0, modulus) for a positive
// modulus and in (modulus, 0] for a negative one; 1, unreduced, for a zero exponent and
// 0 for a negative one.
void BigPowerMod(const BigInt& base, const BigInt& exponent, const BigInt& modulus, BigInt& out);

// Word-array entries used by the handshake. Arrays hold 32-bit words, least
// significant first; the top bit of the last word is the sign. Both return false,
// writing nothing, when a pointer is null or the result's word count exceeds
// resultWords. The result keeps the word count of the last product when that was
// already below the modulus, so it can take one word more than the modulus.
bool powmod(uint32_t* result, uint32_t resultWords, const uint32_t* base, uint32_t baseWords,
            const uint32_t* exponent, uint32_t exponentWords, const uint32_t* modulus,
            uint32_t modulusWords);
bool pow2mod(uint32_t* result, uint32_t resultWords, const uint32_t* exponent,
             uint32_t exponentWords, const uint32_t* modulus, uint32_t modulusWords);

// The prime of the 1024-bit MODP group of RFC 2409 (the Second Oakley Group, generator
// 2): 33 words, least significant first, the top word 0.
extern const uint32_t kOakleyGroup2Prime[33];

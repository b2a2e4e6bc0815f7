// Helpers of the big-integer tests that need no other big-number library: the value
// as hex, operands from word arrays, and the invariants of a result.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "crypto/bigint.h"

namespace bigint_test {

// The value as the arithmetic defines it (the stored words extended upward by the
// sign of BitLength) in lowercase hex, '-' before a negative one, "0" for zero.
inline std::string Hex(const BigInt& x) {
    std::vector<uint32_t> magnitude(x.Words, x.Words + x.WordCount);
    const bool negative = x.BitLength < 0;
    if (negative) {
        // With one more sign word the negation always fits: -2^(32n) included.
        magnitude.push_back(0xFFFFFFFF);
        uint64_t carry = 1;
        for (uint32_t& w : magnitude) {
            carry += static_cast<uint32_t>(~w);
            w = static_cast<uint32_t>(carry);
            carry >>= 32;
        }
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string hex = negative ? "-" : "";
    bool leading = true;
    for (size_t i = magnitude.size() * 8; i-- > 0;) {
        const uint32_t digit = (magnitude[i / 8] >> (4 * (i % 8))) & 15;
        leading = leading && digit == 0;
        if (!leading) {
            hex += kDigits[digit];
        }
    }
    return leading ? "0" : hex;
}

inline BigInt FromWords(const std::vector<uint32_t>& words) {
    BigInt x;
    x.LoadWords(words.data(), static_cast<uint32_t>(words.size()));
    return x;
}

inline bool SameState(const BigInt& a, const BigInt& b) {
    return a.WordCount == b.WordCount && a.BitLength == b.BitLength &&
           std::equal(a.Words, a.Words + a.WordCount, b.Words);
}

// Normalised: BitLength agrees with the words, the top stored bit is the sign, and
// WordCount holds at least the significant words.
inline ::testing::AssertionResult IsNormalized(const BigInt& x) {
    BigInt copy = x;
    copy.Normalize();
    const bool topBit = (x.Words[x.WordCount - 1] >> 31) != 0;
    if (x.WordCount < 1 || x.WordCount > BIGINT_MAX_WORDS || copy.BitLength != x.BitLength ||
        topBit != (x.BitLength < 0) || x.WordCount < x.SignificantWords()) {
        return ::testing::AssertionFailure()
               << "not normalised: WordCount " << x.WordCount << ", BitLength " << x.BitLength
               << ", words say " << copy.BitLength;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace bigint_test

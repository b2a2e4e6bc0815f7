// Helpers of the big-integer tests: GMP as the oracle, the invariants of a result,
// and seeded operands in shapes that stress carries and borrows.
#pragma once

#include <gmp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "crypto/bigint.h"

namespace bigint_test {

struct Mpz {
    mpz_t v;
    Mpz() { mpz_init(v); }
    ~Mpz() { mpz_clear(v); }
    Mpz(const Mpz&) = delete;
    Mpz& operator=(const Mpz&) = delete;
    std::string Hex() const {
        std::string s(mpz_sizeinbase(v, 16) + 2, '\0');
        mpz_get_str(&s[0], 16, v);
        return s.c_str();
    }
};

// The value as the arithmetic defines it: the stored words extended upward by the
// sign of BitLength.
inline void ToMpz(const BigInt& x, Mpz& out) {
    mpz_import(out.v, x.WordCount, -1, sizeof(uint32_t), 0, 0, x.Words);
    if (x.BitLength < 0) {
        Mpz wrap;
        mpz_setbit(wrap.v, 32 * x.WordCount);
        mpz_sub(out.v, out.v, wrap.v);
    }
}

inline std::string Hex(const BigInt& x) {
    Mpz m;
    ToMpz(x, m);
    return m.Hex();
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

inline ::testing::AssertionResult Matches(const BigInt& got, const Mpz& expected) {
    Mpz value;
    ToMpz(got, value);
    if (mpz_cmp(value.v, expected.v) != 0) {
        return ::testing::AssertionFailure() << "got " << value.Hex() << ", GMP " << expected.Hex();
    }
    return IsNormalized(got);
}

class Operands {
  public:
    explicit Operands(uint32_t seed) : rng_(seed) {}
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
    uint32_t Word() { return static_cast<uint32_t>(rng_()); }

    // `words` magnitude words: random, all-ones, runs of 0 and all-ones, a power of
    // two, or top bit set. Stored with or without a sign word, sometimes with two
    // spare ones.
    BigInt Positive(uint32_t words) {
        std::vector<uint32_t> w(words + 1, 0);
        const uint32_t shape = Below(5);
        for (uint32_t i = 0; i < words; ++i) {
            const uint32_t r = Word();
            w[i] = shape == 1 ? ~0u : shape == 2 ? (r & 1 ? ~0u : 0) : shape == 3 ? 0 : r;
        }
        if (shape == 3) {
            w[words - 1] = 1u << Below(32);
        } else if (shape == 4) {
            w[words - 1] |= 0x80000000u;
        }
        w[words - 1] |= w[words - 1] == 0 ? 1 : 0;
        if ((w[words - 1] >> 31) == 0 && Below(2) == 0) {
            w.pop_back();
        }
        BigInt x = FromWords(w);
        if (Below(4) == 0 && x.WordCount + 2 < BIGINT_MAX_WORDS) {
            x.Resize(x.WordCount + 2);
        }
        return x;
    }

    // 1 to maxWords magnitude words; a negative value is a negated positive one or a
    // raw word array with the top bit set.
    BigInt Signed(uint32_t maxWords, bool negative) {
        const uint32_t words = 1 + Below(maxWords);
        BigInt x = Positive(words);
        if (negative && Below(3) == 0) {
            x.WordCount = words;
            x.Words[words - 1] |= 0x80000000u;
            x.Normalize();
        } else if (negative) {
            x.Negate();
        }
        return x;
    }

  private:
    std::mt19937 rng_;
};

}  // namespace bigint_test

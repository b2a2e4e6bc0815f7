// Helpers of the big-integer tests: conversion to GMP, the invariants every result
// must keep, and seeded random operands of awkward shapes.
#pragma once

#include <gmp.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "crypto/bigint.h"

namespace bigint_test {

// An mpz_t that clears itself.
class Mpz {
  public:
    Mpz() { mpz_init(value_); }
    explicit Mpz(const char* hex) { mpz_init_set_str(value_, hex, 16); }
    ~Mpz() { mpz_clear(value_); }
    Mpz(const Mpz&) = delete;
    Mpz& operator=(const Mpz&) = delete;
    mpz_ptr get() { return value_; }
    mpz_srcptr get() const { return value_; }
    std::string Hex() const {
        char* text = mpz_get_str(nullptr, 16, value_);
        std::string s(text);
        void (*release)(void*, size_t);
        mp_get_memory_functions(nullptr, nullptr, &release);
        release(text, s.size() + 1);
        return s;
    }

  private:
    mpz_t value_;
};

// The value as the arithmetic defines it: the stored words extended upward by the
// sign of BitLength.
inline void ToMpz(const BigInt& v, Mpz& out) {
    mpz_import(out.get(), v.WordCount, -1, sizeof(uint32_t), 0, 0, v.Words);
    if (v.BitLength < 0) {
        Mpz wrap;
        mpz_setbit(wrap.get(), 32 * v.WordCount);
        mpz_sub(out.get(), out.get(), wrap.get());
    }
}

inline std::string HexOf(const BigInt& v) {
    Mpz m;
    ToMpz(v, m);
    return m.Hex();
}

// x as the shortest non-negative word array plus one sign word, then negated when x
// is negative.
inline BigInt FromMpz(const Mpz& x) {
    std::vector<uint32_t> words(mpz_sizeinbase(x.get(), 2) / 32 + 2, 0);
    size_t count = 0;
    mpz_export(words.data(), &count, -1, sizeof(uint32_t), 0, 0, x.get());
    BigInt v;
    v.LoadWords(words.data(), static_cast<uint32_t>(count + 1));
    if (mpz_sgn(x.get()) < 0) {
        v.Negate();
    }
    return v;
}

inline BigInt FromWords(const std::vector<uint32_t>& words) {
    BigInt v;
    v.LoadWords(words.data(), static_cast<uint32_t>(words.size()));
    return v;
}

// A normalised value: BitLength agrees with the words, the top stored bit is the
// sign, and WordCount holds at least the significant words.
inline ::testing::AssertionResult IsNormalized(const BigInt& v) {
    if (v.WordCount < 1 || v.WordCount > BIGINT_MAX_WORDS) {
        return ::testing::AssertionFailure() << "WordCount " << v.WordCount;
    }
    BigInt copy = v;
    copy.Normalize();
    if (copy.BitLength != v.BitLength) {
        return ::testing::AssertionFailure()
               << "BitLength " << v.BitLength << ", words say " << copy.BitLength;
    }
    const bool topBit = (v.Words[v.WordCount - 1] >> 31) != 0;
    if (topBit != (v.BitLength < 0)) {
        return ::testing::AssertionFailure() << "top bit disagrees with the sign";
    }
    if (v.WordCount < v.SignificantWords()) {
        return ::testing::AssertionFailure()
               << "WordCount " << v.WordCount << " below " << v.SignificantWords();
    }
    return ::testing::AssertionSuccess();
}

// The full state, for comparing two ways of computing the same thing.
inline ::testing::AssertionResult SameState(const BigInt& a, const BigInt& b) {
    if (a.WordCount != b.WordCount || a.BitLength != b.BitLength) {
        return ::testing::AssertionFailure()
               << "WordCount/BitLength " << a.WordCount << "/" << a.BitLength << " vs "
               << b.WordCount << "/" << b.BitLength;
    }
    for (uint32_t i = 0; i < a.WordCount; ++i) {
        if (a.Words[i] != b.Words[i]) {
            return ::testing::AssertionFailure() << "word " << i << " differs";
        }
    }
    return ::testing::AssertionSuccess();
}

// Seeded operands of 1 to maxWords magnitude words, in shapes that break carry and
// borrow handling: random, all-ones, top bit set, powers of two, sparse words.
class Operands {
  public:
    explicit Operands(uint32_t seed) : rng_(seed) {}

    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
    uint32_t Word() { return static_cast<uint32_t>(rng_()); }

    std::vector<uint32_t> Magnitude(uint32_t words) {
        std::vector<uint32_t> w(words);
        switch (Below(6)) {
            case 0:
                for (uint32_t& x : w)
                    x = Word();
                break;
            case 1:
                for (uint32_t& x : w)
                    x = 0xFFFFFFFFu;
                break;
            case 2:
                for (uint32_t& x : w)
                    x = Word();
                w.back() |= 0x80000000u;
                break;
            case 3:
                for (uint32_t& x : w)
                    x = 0;
                w.back() = 1u << Below(32);
                break;
            case 4:
                for (uint32_t& x : w) {
                    const uint32_t pick = Below(3);
                    x = pick == 0 ? 0 : pick == 1 ? 0xFFFFFFFFu : Word();
                }
                break;
            default:
                for (uint32_t& x : w)
                    x = Below(2) ? 0 : 0xFFFFFFFFu;
                w.back() = 0x80000000u;
                break;
        }
        if (w.back() == 0) {
            w.back() = 1;
        }
        return w;
    }

    // A positive value of exactly `words` magnitude words, sometimes stored with
    // spare sign words above them.
    BigInt Positive(uint32_t words) {
        std::vector<uint32_t> w = Magnitude(words);
        w.push_back(0);
        if ((w[words - 1] >> 31) == 0 && Below(2) == 0) {
            w.pop_back();
        }
        BigInt v = FromWords(w);
        const uint32_t spare = 1 + Below(2);
        if (Below(4) == 0 && v.WordCount + spare <= BIGINT_MAX_WORDS - 1) {
            v.Resize(v.WordCount + spare);
        }
        return v;
    }

    // A value of 1 to maxWords magnitude words, negative when `negative`.
    BigInt Signed(uint32_t maxWords, bool negative) {
        const uint32_t words = 1 + Below(maxWords);
        if (negative && Below(3) == 0) {
            // Raw two's-complement words: the top bit of the last word is the sign.
            std::vector<uint32_t> w = Magnitude(words);
            w.back() |= 0x80000000u;
            return FromWords(w);
        }
        BigInt v = Positive(words);
        if (negative) {
            v.Negate();
        }
        return v;
    }

  private:
    std::mt19937 rng_;
};

}  // namespace bigint_test

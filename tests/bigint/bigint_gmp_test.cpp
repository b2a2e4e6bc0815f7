// The big-integer arithmetic against GMP on seeded random operands of 1 to 33 words
// (dividends up to 66), every sign combination, and the group of the handshake.
#include <gmp.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "crypto/bigint.h"
#include "tests/bigint/bigint_test_util.h"

namespace {

using bigint_test::FromWords;
using bigint_test::Matches;
using bigint_test::Mpz;
using bigint_test::Operands;
using bigint_test::SameState;
using bigint_test::ToMpz;

constexpr uint32_t kMaxWords = 33;

// Signs of run i cycle through (+,+), (+,-), (-,+), (-,-).
bool FirstNegative(int i) {
    return (i & 2) != 0;
}
bool SecondNegative(int i) {
    return (i & 1) != 0;
}

TEST(BigIntVsGmp, AddAndSubtract) {
    Operands gen(11);
    for (int i = 0; i < 4000; ++i) {
        const BigInt a = gen.Signed(kMaxWords, FirstNegative(i));
        const BigInt b = gen.Signed(kMaxWords, SecondNegative(i));
        Mpz ma, mb, sum, difference;
        ToMpz(a, ma);
        ToMpz(b, mb);
        mpz_add(sum.v, ma.v, mb.v);
        mpz_sub(difference.v, ma.v, mb.v);
        BigInt out, inPlace = a;
        BigAdd(a, b, out);
        BigAdd(inPlace, b, inPlace);
        ASSERT_TRUE(Matches(out, sum)) << ma.Hex() << " + " << mb.Hex();
        ASSERT_TRUE(SameState(inPlace, out));

        // Subtraction is the addition of a negated copy, word counts included.
        BigInt negated = b, viaAdd;
        negated.Negate();
        BigAdd(a, negated, viaAdd);
        BigSubtract(a, b, out);
        inPlace = b;
        BigSubtract(a, inPlace, inPlace);
        ASSERT_TRUE(Matches(out, difference)) << ma.Hex() << " - " << mb.Hex();
        ASSERT_TRUE(SameState(out, viaAdd) && SameState(inPlace, out));
    }
}

TEST(BigIntVsGmp, ShiftLeftBitDoublesAndGrowsOnlyOnACarryOut) {
    Operands gen(17);
    for (int i = 0; i < 1000; ++i) {
        BigInt x = gen.Signed(kMaxWords, i % 2 == 1);
        // Repeated shifts take positive values through the transient state.
        for (int shift = 0; shift < 40 && x.WordCount < BIGINT_MAX_WORDS; ++shift) {
            Mpz doubled, after;
            ToMpz(x, doubled);
            mpz_mul_2exp(doubled.v, doubled.v, 1);
            const BigInt before = x;
            const bool carryOut = (before.Words[before.WordCount - 1] >> 31) != 0;
            x.ShiftLeftBit();
            ToMpz(x, after);
            ASSERT_EQ(mpz_cmp(after.v, doubled.v), 0) << doubled.Hex();
            ASSERT_EQ(x.BitLength, before.BitLength + (before.BitLength > 0 ? 1 : -1));
            ASSERT_EQ(x.WordCount, before.WordCount + (carryOut ? 1 : 0));
        }
    }
}

TEST(BigIntVsGmp, Multiply) {
    Operands gen(22);
    for (int i = 0; i < 3000; ++i) {
        const BigInt a = gen.Signed(kMaxWords, FirstNegative(i));
        const BigInt b = gen.Signed(kMaxWords, SecondNegative(i));
        Mpz ma, mb, product;
        ToMpz(a, ma);
        ToMpz(b, mb);
        mpz_mul(product.v, ma.v, mb.v);
        BigInt out, inPlace = b;
        BigMultiply(a, b, out);
        BigMultiply(a, inPlace, inPlace);
        ASSERT_TRUE(Matches(out, product)) << ma.Hex() << " * " << mb.Hex();
        ASSERT_TRUE(SameState(inPlace, out));
    }
}

TEST(BigIntVsGmp, DivideWithTheRemainderInTheDivisorsSign) {
    Operands gen(33);
    for (int i = 0; i < 3000; ++i) {
        // Dividends as long as the products a modular power reduces; one-word divisors
        // take their own path.
        const BigInt a = gen.Signed(2 * kMaxWords, FirstNegative(i));
        const BigInt b = gen.Signed(gen.Below(4) == 0 ? 1 : kMaxWords, SecondNegative(i));
        Mpz ma, mb, quotient, remainder;
        ToMpz(a, ma);
        ToMpz(b, mb);
        mpz_tdiv_q(quotient.v, ma.v, mb.v);
        if (mpz_sgn(ma.v) == mpz_sgn(mb.v)) {
            mpz_tdiv_r(remainder.v, ma.v, mb.v);
        } else {
            mpz_fdiv_r(remainder.v, ma.v, mb.v);  // floored: the divisor's sign
        }
        BigInt q, r, reduced = a;
        BigDivide(a, b, q, r);
        BigDivide(reduced, b, q, reduced);
        ASSERT_TRUE(Matches(q, quotient)) << ma.Hex() << " / " << mb.Hex();
        ASSERT_TRUE(Matches(r, remainder)) << ma.Hex() << " % " << mb.Hex();
        ASSERT_TRUE(SameState(reduced, r));
    }
}

TEST(BigIntVsGmp, PowerModAnySigns) {
    Operands gen(55);
    for (int i = 0; i < 150; ++i) {
        const BigInt base = gen.Signed(kMaxWords, FirstNegative(i));
        // Moduli up to 1024 bits, the size the capacity is made for.
        const BigInt modulus = gen.Signed(kMaxWords - 1, SecondNegative(i));
        const BigInt exponent = gen.Positive(1 + gen.Below(2));
        Mpz mb, me, mm, magnitude, expected;
        ToMpz(base, mb);
        ToMpz(exponent, me);
        ToMpz(modulus, mm);
        mpz_abs(magnitude.v, mm.v);
        mpz_powm(expected.v, mb.v, me.v, magnitude.v);
        if (mpz_sgn(mm.v) < 0 && mpz_sgn(expected.v) != 0) {
            mpz_add(expected.v, expected.v, mm.v);  // into (modulus, 0]
        }
        BigInt out;
        BigPowerMod(base, exponent, modulus, out);
        ASSERT_TRUE(Matches(out, expected)) << mb.Hex() << " ^ " << me.Hex() << " % " << mm.Hex();
    }
}

// ---------------------------------------------------------------------------
// The group of the handshake

struct Group {
    Mpz p, two;
    Group() {
        mpz_import(p.v, 33, -1, sizeof(uint32_t), 0, 0, kOakleyGroup2Prime);
        mpz_set_ui(two.v, 2);
    }
};

TEST(OakleyGroup2, PrimeIsASafePrime) {
    Group g;
    Mpz q;
    EXPECT_EQ(kOakleyGroup2Prime[32], 0u);
    EXPECT_EQ(mpz_sizeinbase(g.p.v, 2), 1024u);
    EXPECT_GT(mpz_probab_prime_p(g.p.v, 30), 0);
    mpz_sub_ui(q.v, g.p.v, 1);
    mpz_tdiv_q_2exp(q.v, q.v, 1);
    EXPECT_GT(mpz_probab_prime_p(q.v, 30), 0);
}

TEST(OakleyGroup2, HandshakePowersMatchGmp) {
    Operands gen(66);
    Group g;
    for (int i = 0; i < 12; ++i) {
        // A 96-bit exponent in 4 words with a zero top word, a 33-word driver value.
        const uint32_t x[4] = {gen.Word(), gen.Word(), gen.Word() | 0x80000000u, 0};
        std::vector<uint32_t> y(33, 0);
        for (int w = 0; w < 32; ++w) {
            y[w] = gen.Word();
        }
        Mpz mx, my, expected;
        mpz_import(mx.v, 4, -1, sizeof(uint32_t), 0, 0, x);
        mpz_import(my.v, 33, -1, sizeof(uint32_t), 0, 0, y.data());
        std::vector<uint32_t> result(33);
        ASSERT_TRUE(pow2mod(result.data(), 33, x, 4, kOakleyGroup2Prime, 33));
        mpz_powm(expected.v, g.two.v, mx.v, g.p.v);
        ASSERT_TRUE(Matches(FromWords(result), expected));
        ASSERT_TRUE(powmod(result.data(), 33, y.data(), 33, x, 4, kOakleyGroup2Prime, 33));
        mpz_powm(expected.v, my.v, mx.v, g.p.v);
        ASSERT_TRUE(Matches(FromWords(result), expected));
    }
}

TEST(OakleyGroup2, SingleBitExponentOfA1024BitSquareNeeds34Words) {
    // With exponent 2^k the one product is 1 * R, R = 2^(2^k) mod p; when R has 1024
    // bits that product is already reduced and keeps 34 words.
    Group g;
    Mpz exponent, r;
    uint32_t k = 11;
    for (; k < 96; ++k) {
        mpz_set_ui(exponent.v, 0);
        mpz_setbit(exponent.v, k);
        mpz_powm(r.v, g.two.v, exponent.v, g.p.v);
        if (mpz_sizeinbase(r.v, 2) == 1024) {
            break;
        }
    }
    ASSERT_LT(k, 96u);
    uint32_t x[4] = {0, 0, 0, 0};
    x[k / 32] = 1u << (k % 32);
    std::vector<uint32_t> result(34, 7);
    EXPECT_FALSE(pow2mod(result.data(), 33, x, 4, kOakleyGroup2Prime, 33));
    EXPECT_EQ(result, std::vector<uint32_t>(34, 7));
    ASSERT_TRUE(pow2mod(result.data(), 34, x, 4, kOakleyGroup2Prime, 33));
    EXPECT_TRUE(Matches(FromWords(result), r));

    // A second set bit makes a last product that needs reducing: 33 words.
    x[0] |= 1;
    mpz_setbit(exponent.v, 0);
    mpz_powm(r.v, g.two.v, exponent.v, g.p.v);
    result.assign(33, 7);
    ASSERT_TRUE(pow2mod(result.data(), 33, x, 4, kOakleyGroup2Prime, 33));
    EXPECT_TRUE(Matches(FromWords(result), r));
}

}  // namespace

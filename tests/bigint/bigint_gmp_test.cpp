// The big-integer arithmetic against GMP on seeded random operands of 1 to 33 words
// (dividends up to 66), every sign combination, and the group prime of the handshake.
#include <gmp.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "crypto/bigint.h"
#include "tests/bigint/bigint_test_util.h"

namespace {

using bigint_test::FromMpz;
using bigint_test::FromWords;
using bigint_test::IsNormalized;
using bigint_test::Mpz;
using bigint_test::Operands;
using bigint_test::SameState;
using bigint_test::ToMpz;

constexpr uint32_t kMaxWords = 33;

// Compares a result with GMP's value and checks that it is normalised.
::testing::AssertionResult Matches(const BigInt& got, const Mpz& expected) {
    Mpz value;
    ToMpz(got, value);
    if (mpz_cmp(value.get(), expected.get()) != 0) {
        return ::testing::AssertionFailure()
               << "got " << value.Hex() << ", GMP says " << expected.Hex();
    }
    return IsNormalized(got);
}

// Operand i of a run: signs cycle through (+,+), (+,-), (-,+), (-,-).
bool ANegative(int i) {
    return (i & 2) != 0;
}
bool BNegative(int i) {
    return (i & 1) != 0;
}

TEST(BigIntVsGmp, AddAndSubtract) {
    Operands gen(11);
    for (int i = 0; i < 4000; ++i) {
        const BigInt a = gen.Signed(kMaxWords, ANegative(i));
        const BigInt b = gen.Signed(kMaxWords, BNegative(i));
        Mpz ma, mb, sum, difference;
        ToMpz(a, ma);
        ToMpz(b, mb);
        mpz_add(sum.get(), ma.get(), mb.get());
        mpz_sub(difference.get(), ma.get(), mb.get());

        BigInt out;
        BigAdd(a, b, out);
        ASSERT_TRUE(Matches(out, sum)) << ma.Hex() << " + " << mb.Hex();
        BigInt inPlace = a;
        BigAdd(inPlace, b, inPlace);
        ASSERT_TRUE(SameState(inPlace, out));

        BigSubtract(a, b, out);
        ASSERT_TRUE(Matches(out, difference)) << ma.Hex() << " - " << mb.Hex();
        inPlace = b;
        BigSubtract(a, inPlace, inPlace);
        ASSERT_TRUE(SameState(inPlace, out));
        // Subtraction is addition of the negated subtrahend, word counts included.
        BigInt negated = b;
        negated.Negate();
        BigInt viaAdd;
        BigAdd(a, negated, viaAdd);
        ASSERT_TRUE(SameState(viaAdd, out));
    }
}

TEST(BigIntVsGmp, ShiftLeftBitDoublesAndGrowsOnlyOnACarryOut) {
    Operands gen(17);
    for (int i = 0; i < 1000; ++i) {
        BigInt v = gen.Signed(kMaxWords, i % 2 == 1);
        // Up to 40 shifts in a row, through the transient state of positive values.
        for (int shift = 0; shift < 40; ++shift) {
            Mpz before, doubled;
            ToMpz(v, before);
            mpz_mul_2exp(doubled.get(), before.get(), 1);
            const uint32_t words = v.WordCount;
            const bool carryOut = (v.Words[words - 1] >> 31) != 0;
            const int32_t length = v.BitLength;
            v.ShiftLeftBit();
            Mpz after;
            ToMpz(v, after);
            ASSERT_EQ(mpz_cmp(after.get(), doubled.get()), 0) << before.Hex();
            ASSERT_EQ(v.BitLength, length > 0 ? length + 1 : length - 1);
            ASSERT_EQ(v.WordCount, carryOut ? words + 1 : words);
            if (carryOut) {
                ASSERT_EQ(v.Words[words], v.BitLength > 0 ? 1u : 0xFFFFFFFFu);
            }
            if (v.WordCount >= BIGINT_MAX_WORDS - 1) {
                break;
            }
        }
    }
}

TEST(BigIntVsGmp, Multiply) {
    Operands gen(22);
    for (int i = 0; i < 3000; ++i) {
        const BigInt a = gen.Signed(kMaxWords, ANegative(i));
        const BigInt b = gen.Signed(kMaxWords, BNegative(i));
        Mpz ma, mb, product;
        ToMpz(a, ma);
        ToMpz(b, mb);
        mpz_mul(product.get(), ma.get(), mb.get());

        BigInt out;
        BigMultiply(a, b, out);
        ASSERT_TRUE(Matches(out, product)) << ma.Hex() << " * " << mb.Hex();
        BigInt inPlace = b;
        BigMultiply(a, inPlace, inPlace);
        ASSERT_TRUE(SameState(inPlace, out));
    }
}

TEST(BigIntVsGmp, DivideWithTheDivisorsSignOnTheRemainder) {
    Operands gen(33);
    for (int i = 0; i < 3000; ++i) {
        // Dividends up to 66 words, like the products the modular power reduces.
        const BigInt a = gen.Signed(2 * kMaxWords, ANegative(i));
        const BigInt b = gen.Signed(gen.Below(4) == 0 ? 1 : kMaxWords, BNegative(i));
        Mpz ma, mb, quotient, remainder;
        ToMpz(a, ma);
        ToMpz(b, mb);
        // Truncated quotient; the remainder is truncated when the signs agree and
        // floored (the divisor's sign) when they differ.
        mpz_tdiv_q(quotient.get(), ma.get(), mb.get());
        if (mpz_sgn(ma.get()) == mpz_sgn(mb.get())) {
            mpz_tdiv_r(remainder.get(), ma.get(), mb.get());
        } else {
            mpz_fdiv_r(remainder.get(), ma.get(), mb.get());
        }

        BigInt q, r;
        BigDivide(a, b, q, r);
        ASSERT_TRUE(Matches(q, quotient)) << ma.Hex() << " / " << mb.Hex();
        ASSERT_TRUE(Matches(r, remainder)) << ma.Hex() << " % " << mb.Hex();
        BigInt reduced = a;
        BigDivide(reduced, b, q, reduced);
        ASSERT_TRUE(SameState(reduced, r));
    }
}

TEST(BigIntVsGmp, Power) {
    Operands gen(44);
    for (int i = 0; i < 300; ++i) {
        const BigInt base = gen.Signed(3, i % 3 == 0);
        // Keep the last squaring, base^(2^bits), within the capacity.
        const uint32_t baseBits =
            static_cast<uint32_t>(base.BitLength < 0 ? -base.BitLength : base.BitLength);
        uint32_t maxBits = 1;
        while ((baseBits << (maxBits + 1)) <= 2000) {
            ++maxBits;
        }
        BigInt exponent;
        exponent.SetInt(static_cast<int32_t>(gen.Below(1u << maxBits)));
        Mpz mbase, expected;
        ToMpz(base, mbase);
        mpz_pow_ui(expected.get(), mbase.get(), static_cast<unsigned long>(exponent.Words[0]));

        BigInt out;
        BigPower(base, exponent, out);
        ASSERT_TRUE(Matches(out, expected)) << mbase.Hex() << " ^ " << exponent.Words[0];
    }
}

// GMP's powm reduced into (modulus, 0] for a negative modulus, as the arithmetic does.
void ExpectedPowerMod(const Mpz& base, const Mpz& exponent, const Mpz& modulus, Mpz& out) {
    Mpz magnitude;
    mpz_abs(magnitude.get(), modulus.get());
    mpz_powm(out.get(), base.get(), exponent.get(), magnitude.get());
    if (mpz_sgn(modulus.get()) < 0 && mpz_sgn(out.get()) != 0) {
        mpz_add(out.get(), out.get(), modulus.get());
    }
}

TEST(BigIntVsGmp, PowerModAnySigns) {
    Operands gen(55);
    for (int i = 0; i < 150; ++i) {
        const BigInt base = gen.Signed(kMaxWords, ANegative(i));
        // Moduli up to 1024 bits, the size the capacity is made for.
        const BigInt modulus = gen.Signed(kMaxWords - 1, BNegative(i));
        const BigInt exponent = gen.Positive(1 + gen.Below(2));
        Mpz mb, me, mm, expected;
        ToMpz(base, mb);
        ToMpz(exponent, me);
        ToMpz(modulus, mm);
        ExpectedPowerMod(mb, me, mm, expected);

        BigInt out;
        BigPowerMod(base, exponent, modulus, out);
        ASSERT_TRUE(Matches(out, expected)) << mb.Hex() << " ^ " << me.Hex() << " mod " << mm.Hex();
    }
}

// ---------------------------------------------------------------------------
// The group of the handshake

void PrimeMpz(Mpz& p) {
    mpz_import(p.get(), 33, -1, sizeof(uint32_t), 0, 0, kOakleyGroup2Prime);
}

// floor(2^bits * atan(1/x)) - small error, by the alternating series in integers.
void ArctanInverse(unsigned long x, unsigned long bits, Mpz& out) {
    Mpz term, piece;
    mpz_set_ui(term.get(), 1);
    mpz_mul_2exp(term.get(), term.get(), bits);
    mpz_tdiv_q_ui(term.get(), term.get(), x);
    mpz_set(out.get(), term.get());
    for (unsigned long n = 1; mpz_sgn(term.get()) != 0; ++n) {
        mpz_tdiv_q_ui(term.get(), term.get(), x * x);
        mpz_tdiv_q_ui(piece.get(), term.get(), 2 * n + 1);
        if (n % 2 == 1) {
            mpz_sub(out.get(), out.get(), piece.get());
        } else {
            mpz_add(out.get(), out.get(), piece.get());
        }
    }
}

TEST(OakleyGroup2, PrimeIsTheRfcValueAndSafe) {
    // pi = 16 atan(1/5) - 4 atan(1/239), with 64 guard bits.
    const unsigned long guard = 64;
    Mpz a, b, pi;
    ArctanInverse(5, 894 + guard, a);
    ArctanInverse(239, 894 + guard, b);
    mpz_mul_ui(pi.get(), a.get(), 16);
    mpz_submul_ui(pi.get(), b.get(), 4);
    // The series errs by a few units in the last guard bit; the floor is safe when the
    // fraction stays 2^32 units away from 0 and from 1.
    Mpz fraction, headroom;
    mpz_fdiv_r_2exp(fraction.get(), pi.get(), guard);
    mpz_setbit(headroom.get(), guard);
    mpz_sub(headroom.get(), headroom.get(), fraction.get());
    ASSERT_GT(mpz_sizeinbase(fraction.get(), 2), 32u);
    ASSERT_GT(mpz_sizeinbase(headroom.get(), 2), 32u);
    mpz_fdiv_q_2exp(pi.get(), pi.get(), guard);

    // 2^1024 - 2^960 - 1 + 2^64 * (floor(2^894 pi) + 129093)
    Mpz expected, power;
    mpz_add_ui(expected.get(), pi.get(), 129093);
    mpz_mul_2exp(expected.get(), expected.get(), 64);
    mpz_setbit(power.get(), 1024);
    mpz_add(expected.get(), expected.get(), power.get());
    mpz_set_ui(power.get(), 0);
    mpz_setbit(power.get(), 960);
    mpz_sub(expected.get(), expected.get(), power.get());
    mpz_sub_ui(expected.get(), expected.get(), 1);

    Mpz p, q;
    PrimeMpz(p);
    EXPECT_EQ(mpz_cmp(p.get(), expected.get()), 0) << p.Hex();
    EXPECT_EQ(kOakleyGroup2Prime[32], 0u);
    EXPECT_EQ(mpz_sizeinbase(p.get(), 2), 1024u);
    EXPECT_GT(mpz_probab_prime_p(p.get(), 30), 0);
    mpz_sub_ui(q.get(), p.get(), 1);
    mpz_tdiv_q_2exp(q.get(), q.get(), 1);
    EXPECT_GT(mpz_probab_prime_p(q.get(), 30), 0);
}

// A 4-word exponent of 96 random bits with its zero sign word.
std::vector<uint32_t> HandshakeExponent(Operands& gen) {
    return {gen.Word(), gen.Word(), gen.Word() | 0x80000000u, 0};
}

TEST(OakleyGroup2, Pow2ModAndPowModMatchGmp) {
    Operands gen(66);
    Mpz p;
    PrimeMpz(p);
    for (int i = 0; i < 12; ++i) {
        const std::vector<uint32_t> x = HandshakeExponent(gen);
        // A driver value below p: 33 words, top word 0.
        std::vector<uint32_t> y(33, 0);
        for (int w = 0; w < 32; ++w) {
            y[w] = gen.Word();
        }
        if (i % 3 == 0) {
            y[31] = 0xFFFFFFFF;  // 2^1024 - something, still below p
            y[30] = 0;
        }
        Mpz mx, my, two, expected;
        mpz_import(mx.get(), 4, -1, sizeof(uint32_t), 0, 0, x.data());
        mpz_import(my.get(), 33, -1, sizeof(uint32_t), 0, 0, y.data());
        mpz_set_ui(two.get(), 2);

        std::vector<uint32_t> result(33, 0xCCCCCCCC);
        ASSERT_TRUE(pow2mod(result.data(), 33, x.data(), 4, kOakleyGroup2Prime, 33));
        mpz_powm(expected.get(), two.get(), mx.get(), p.get());
        ASSERT_TRUE(Matches(FromWords(result), expected));

        ASSERT_TRUE(powmod(result.data(), 33, y.data(), 33, x.data(), 4, kOakleyGroup2Prime, 33));
        mpz_powm(expected.get(), my.get(), mx.get(), p.get());
        ASSERT_TRUE(Matches(FromWords(result), expected));
    }
}

TEST(OakleyGroup2, SingleBitExponentWhoseSquareHas1024BitsNeeds34Words) {
    // The one product is 1 * R with R = 2^(2^k) mod p; when R has 1024 bits that
    // product, already reduced, keeps 34 words.
    Mpz p, r, two, exponent;
    PrimeMpz(p);
    mpz_set_ui(two.get(), 2);
    uint32_t k = 0;
    for (k = 11; k < 96; ++k) {
        mpz_set_ui(exponent.get(), 0);
        mpz_setbit(exponent.get(), k);
        mpz_powm(r.get(), two.get(), exponent.get(), p.get());
        if (mpz_sizeinbase(r.get(), 2) == 1024) {
            break;
        }
    }
    ASSERT_LT(k, 96u);
    std::vector<uint32_t> x(4, 0);
    x[k / 32] = 1u << (k % 32);

    std::vector<uint32_t> result(34, 0x77777777);
    EXPECT_FALSE(pow2mod(result.data(), 33, x.data(), 4, kOakleyGroup2Prime, 33));
    EXPECT_EQ(result, std::vector<uint32_t>(34, 0x77777777));
    ASSERT_TRUE(pow2mod(result.data(), 34, x.data(), 4, kOakleyGroup2Prime, 33));
    EXPECT_EQ(result[33], 0u);
    EXPECT_TRUE(Matches(FromWords(result), r));

    // With a second bit set the last product is reduced to 33 words.
    x[0] |= 1;
    ASSERT_TRUE(pow2mod(result.data(), 33, x.data(), 4, kOakleyGroup2Prime, 33));
    mpz_setbit(exponent.get(), 0);
    mpz_powm(r.get(), two.get(), exponent.get(), p.get());
    EXPECT_TRUE(Matches(FromWords(std::vector<uint32_t>(result.begin(), result.begin() + 33)), r));
}

TEST(OakleyGroup2, ProductsOfResiduesFitAndReduce) {
    // The largest product a modular power forms: (p - 1)^2, 2048 bits, then reduced.
    Mpz p, pm1, expected;
    PrimeMpz(p);
    mpz_sub_ui(pm1.get(), p.get(), 1);
    const BigInt big = FromMpz(pm1);
    const BigInt modulus =
        FromWords(std::vector<uint32_t>(kOakleyGroup2Prime, kOakleyGroup2Prime + 33));
    BigInt product, q, r;
    BigMultiply(big, big, product);
    mpz_mul(expected.get(), pm1.get(), pm1.get());
    ASSERT_TRUE(Matches(product, expected));
    EXPECT_LE(product.WordCount, 66u);
    BigDivide(product, modulus, q, r);
    mpz_set_ui(expected.get(), 1);  // (p - 1)^2 = 1 mod p
    EXPECT_TRUE(Matches(r, expected));
}

}  // namespace

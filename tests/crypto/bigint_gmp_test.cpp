// The big-integer arithmetic against GMP on seeded random operands of 1 to 33 words
// (dividends up to 66), every sign combination, and the group of the handshake.
#include <gmp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "crypto/bigint.h"
#include "tests/crypto/bigint_test_util.h"

namespace {

using bigint_test::FromWords;
using bigint_test::Hex;
using bigint_test::IsNormalized;
using bigint_test::SameState;

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
void ToMpz(const BigInt& x, Mpz& out) {
    mpz_import(out.v, x.WordCount, -1, sizeof(uint32_t), 0, 0, x.Words);
    if (x.BitLength < 0) {
        Mpz wrap;
        mpz_setbit(wrap.v, 32 * x.WordCount);
        mpz_sub(out.v, out.v, wrap.v);
    }
}

// Compared as text, which also checks the hex helper the GMP-free tests rely on.
::testing::AssertionResult Matches(const BigInt& got, const Mpz& expected) {
    if (Hex(got) != expected.Hex()) {
        return ::testing::AssertionFailure() << "got " << Hex(got) << ", GMP " << expected.Hex();
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

constexpr uint32_t kMaxWords = 33;

// Signs of run i cycle through (+,+), (+,-), (-,+), (-,-).
bool FirstNegative(int i) {
    return (i & 2) != 0;
}
bool SecondNegative(int i) {
    return (i & 1) != 0;
}

// Which operand an operation also writes its result into.
enum class Into { kFirst, kSecond };

// op(a, b) into out matches GMP's value, and op with its result into the operand
// named by into gives the same state.
::testing::AssertionResult BinaryMatches(void (*op)(const BigInt&, const BigInt&, BigInt&),
                                         const BigInt& a, const BigInt& b, Into into,
                                         const Mpz& expected, BigInt& out) {
    op(a, b, out);
    BigInt inPlace = into == Into::kFirst ? a : b;
    if (into == Into::kFirst) {
        op(inPlace, b, inPlace);
    } else {
        op(a, inPlace, inPlace);
    }
    const ::testing::AssertionResult matches = Matches(out, expected);
    if (!matches) {
        return matches;
    }
    return SameState(inPlace, out) ? ::testing::AssertionSuccess()
                                   : ::testing::AssertionFailure() << "in place differs";
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
        BigInt out;
        ASSERT_TRUE(BinaryMatches(BigAdd, a, b, Into::kFirst, sum, out))
            << ma.Hex() << " + " << mb.Hex();

        // Subtraction is the addition of a negated copy, word counts included.
        BigInt negated = b, viaAdd;
        negated.Negate();
        BigAdd(a, negated, viaAdd);
        ASSERT_TRUE(BinaryMatches(BigSubtract, a, b, Into::kSecond, difference, out))
            << ma.Hex() << " - " << mb.Hex();
        ASSERT_TRUE(SameState(out, viaAdd));
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
        BigInt out;
        ASSERT_TRUE(BinaryMatches(BigMultiply, a, b, Into::kSecond, product, out))
            << ma.Hex() << " * " << mb.Hex();
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

// Divisors of every length at and beside a limb's edge, 64 bits to 66 words, under
// dividends as long as they and as long as the capacity allows: the division keeps
// copies of the divisor shifted by up to a limb, one limb longer than the divisor.
TEST(BigIntVsGmp, DivideByDivisorsAtEveryLimbEdge) {
    Operands gen(55);
    constexpr uint32_t kMaxBits = 32 * BIGINT_MAX_WORDS - 1;  // below the sign bit
    auto ofBits = [&gen](uint32_t bits) {
        std::vector<uint32_t> w(bits / 32 + 1, 0);
        for (uint32_t i = 0; i < bits / 32; ++i) {
            w[i] = gen.Word();
        }
        w[(bits - 1) / 32] |= 1u << ((bits - 1) % 32);
        return FromWords(w);
    };
    // A remainder of more than 65 words before a subtraction outgrows the capacity.
    constexpr uint32_t kMaxDivisorBits = 32 * 66 - 2;
    for (uint32_t edge = 64; edge <= kMaxDivisorBits + 1; edge += 32) {
        for (uint32_t bits : {edge - 1, edge, edge + 1}) {
            if (bits > kMaxDivisorBits) {
                continue;
            }
            const BigInt b = ofBits(bits);
            for (uint32_t aBits :
                 {bits, bits + 1, bits + gen.Below(kMaxBits - bits + 1), kMaxBits}) {
                const BigInt a = ofBits(aBits > kMaxBits ? kMaxBits : aBits);
                Mpz ma, mb, quotient, remainder;
                ToMpz(a, ma);
                ToMpz(b, mb);
                mpz_tdiv_qr(quotient.v, remainder.v, ma.v, mb.v);
                BigInt q, r;
                BigDivide(a, b, q, r);
                ASSERT_TRUE(Matches(q, quotient)) << ma.Hex() << " / " << mb.Hex();
                ASSERT_TRUE(Matches(r, remainder)) << ma.Hex() << " % " << mb.Hex();
            }
        }
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
// Word counts of positive operands, predicted from the values GMP computes.

uint32_t Bits(const mpz_t v) {
    return mpz_sgn(v) == 0 ? 0 : static_cast<uint32_t>(mpz_sizeinbase(v, 2));
}

uint32_t SignificantWords(const mpz_t v) {
    return mpz_sgn(v) == 0 ? 0 : Bits(v) / 32 + 1;
}

// A one-word multiplier loop keeps a word above the other operand's significant words,
// and one more when that word has its top bit set. A Karatsuba split at h words adds
// the low part x0 y0 last to the shifted upper parts, each sum keeping a carry word.
uint32_t ProductWords(const mpz_t a, const mpz_t b) {
    Mpz product, x0, y0, low, upper;
    mpz_mul(product.v, a, b);
    if (mpz_sgn(product.v) == 0) {
        return 1;
    }
    if (Bits(a) <= 32 || Bits(b) <= 32) {
        const uint32_t n = SignificantWords(Bits(a) <= 32 ? b : a);
        return n + 1 + (Bits(product.v) > 32 * n + 31 ? 1 : 0);
    }
    const bool aIsLarger = SignificantWords(a) > SignificantWords(b);
    const mpz_srcptr x = aIsLarger ? a : b;
    const mpz_srcptr y = aIsLarger ? b : a;
    const uint32_t h = SignificantWords(x) / 2;
    mpz_tdiv_r_2exp(x0.v, x, 32 * h);
    mpz_tdiv_r_2exp(y0.v, y, SignificantWords(y) < h ? Bits(y) : 32 * h);
    mpz_mul(low.v, x0.v, y0.v);
    mpz_sub(upper.v, product.v, low.v);
    return std::max(SignificantWords(upper.v), SignificantWords(low.v)) + 1;
}

// A dividend below the divisor is kept as it is; a one-word divisor leaves one word,
// or two when its top bit is set; the long division leaves the count of its last
// subtraction, at the lowest set bit n of the quotient: the remainder's significant
// words before it.
uint32_t RemainderWords(const mpz_t a, uint32_t aWords, const mpz_t b) {
    Mpz quotient, before;
    mpz_tdiv_qr(quotient.v, before.v, a, b);
    if (mpz_sgn(a) == 0 || mpz_sgn(quotient.v) == 0) {
        return mpz_sgn(a) == 0 ? 1 : aWords;
    }
    if (Bits(b) <= 32) {
        return Bits(before.v) == 32 ? 2 : 1;
    }
    const mp_bitcnt_t n = mpz_scan1(quotient.v, 0);
    mpz_tdiv_q_2exp(before.v, a, n);
    mpz_tdiv_q_2exp(quotient.v, quotient.v, n);
    mpz_sub_ui(quotient.v, quotient.v, 1);
    mpz_submul(before.v, quotient.v, b);
    return SignificantWords(before.v);
}

TEST(BigIntVsGmp, WordCountsOfProductsReductionsAndPowers) {
    Operands gen(77);
    for (int i = 0; i < 1500; ++i) {
        const BigInt a = gen.Positive(1 + gen.Below(2 * kMaxWords));
        const BigInt b = gen.Positive(1 + gen.Below(i % 2 == 0 ? kMaxWords - 1 : 2));
        const BigInt c = gen.Positive(1 + gen.Below(kMaxWords));
        Mpz ma, mb, mc;
        ToMpz(a, ma);
        ToMpz(b, mb);
        ToMpz(c, mc);
        BigInt product, q, r;
        if (a.SignificantWords() + c.SignificantWords() < BIGINT_MAX_WORDS) {
            BigMultiply(a, c, product);
            ASSERT_EQ(product.WordCount, ProductWords(ma.v, mc.v)) << ma.Hex() << " * " << mc.Hex();
        }
        BigDivide(a, b, q, r);
        ASSERT_EQ(r.WordCount, RemainderWords(ma.v, a.WordCount, mb.v))
            << ma.Hex() << " % " << mb.Hex();
        const uint32_t quotientWords = mpz_cmp(mb.v, ma.v) > 0 ? 1
                                       : Bits(mb.v) <= 32      ? a.WordCount
                                                               : a.SignificantWords();
        ASSERT_EQ(q.WordCount, quotientWords) << ma.Hex() << " / " << mb.Hex();

        // A power keeps the count of its last reduction, that of the product with the
        // running square at the exponent's top bit.
        const BigInt exponent = gen.Positive(1);
        Mpz me, before, square, last;
        ToMpz(exponent, me);
        const mp_bitcnt_t top = Bits(me.v) - 1;
        mpz_tdiv_r_2exp(before.v, me.v, top);
        mpz_powm(before.v, mc.v, before.v, mb.v);
        mpz_set_ui(square.v, 1);
        mpz_mul_2exp(square.v, square.v, top);
        mpz_powm(square.v, mc.v, square.v, mb.v);
        mpz_mul(last.v, before.v, square.v);
        BigInt power;
        BigPowerMod(c, exponent, b, power);
        ASSERT_EQ(power.WordCount, RemainderWords(last.v, ProductWords(before.v, square.v), mb.v))
            << mc.Hex() << " ^ " << me.Hex() << " % " << mb.Hex();
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

}  // namespace

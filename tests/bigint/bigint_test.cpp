// The big-integer arithmetic on hand-picked values: bit lengths, word counts and
// sign words that the rest of the system can observe, aliasing, and the two fatal
// conditions.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <vector>

#include "crypto/bigint.h"
#include "platform/test/test_platform.h"
#include "tests/bigint/bigint_test_util.h"

// Under AddressSanitizer a SIGFPE would be caught and reported as an abort; let it
// end the process as it does in a plain build. Unused without the sanitizer.
extern "C" const char* __asan_default_options() {
    return "handle_sigfpe=0";
}

namespace {

using bigint_test::FromWords;
using bigint_test::HexOf;
using bigint_test::IsNormalized;
using bigint_test::SameState;

BigInt Int(int32_t v) {
    BigInt x;
    x.SetInt(v);
    return x;
}

std::vector<uint32_t> Prime() {
    return std::vector<uint32_t>(kOakleyGroup2Prime, kOakleyGroup2Prime + 33);
}

TEST(BigIntBasics, SetIntBitLengths) {
    const struct {
        int32_t value;
        int32_t bitLength;
    } cases[] = {
        {0, 0},   {1, 1},   {255, 8}, {256, 9}, {INT32_MAX, 31},  {-1, -1},
        {-2, -2}, {-3, -3}, {-4, -3}, {-5, -4}, {INT32_MIN, -32}, {INT32_MIN + 1, -32},
    };
    for (const auto& c : cases) {
        const BigInt v = Int(c.value);
        EXPECT_EQ(v.BitLength, c.bitLength) << c.value;
        EXPECT_EQ(v.WordCount, 1u) << c.value;
        EXPECT_EQ(v.Words[0], static_cast<uint32_t>(c.value));
    }
}

TEST(BigIntBasics, LoadWordsTakesTheSignFromTheLastWord) {
    BigInt v = FromWords({0xFFFFFFFF});
    EXPECT_EQ(v.BitLength, -1);
    v = FromWords({0xFFFFFFFF, 0});
    EXPECT_EQ(v.BitLength, 32);
    EXPECT_EQ(v.WordCount, 2u);
    v = FromWords({0, 0x80000000});
    EXPECT_EQ(v.BitLength, -64);
    EXPECT_EQ(HexOf(v), "-8000000000000000");
    // -2^31 - 1 needs a second word: its shortest form is 33 bits.
    v = FromWords({0x7FFFFFFF, 0xFFFFFFFF});
    EXPECT_EQ(v.BitLength, -33);
    EXPECT_EQ(v.SignificantWords(), 2u);

    const uint32_t word = 7;
    v.LoadWords(nullptr, 3);
    EXPECT_EQ(v.BitLength, 0);
    EXPECT_EQ(v.WordCount, 1u);
    v.LoadWords(&word, 0);
    EXPECT_EQ(v.BitLength, 0);
    EXPECT_EQ(v.WordCount, 1u);
    EXPECT_EQ(v.Words[0], 0u);
}

TEST(BigIntBasics, SignificantWordsAndWordAt) {
    EXPECT_EQ(Int(0).SignificantWords(), 0u);
    EXPECT_EQ(Int(INT32_MAX).SignificantWords(), 1u);
    EXPECT_EQ(FromWords({0x80000000, 0}).SignificantWords(), 2u);
    EXPECT_EQ(Int(INT32_MIN).SignificantWords(), 1u);
    EXPECT_EQ(Int(-1).SignificantWords(), 1u);

    const BigInt negative = Int(-5);
    EXPECT_EQ(negative.WordAt(0), static_cast<uint32_t>(-5));
    EXPECT_EQ(negative.WordAt(1), 0xFFFFFFFFu);
    EXPECT_EQ(negative.WordAt(66), 0xFFFFFFFFu);
    EXPECT_EQ(Int(5).WordAt(9), 0u);
}

TEST(BigIntBasics, StoreWordsComparesWordCountNotSignificantWords) {
    BigInt five = Int(5);
    five.Resize(3);
    std::vector<uint32_t> out(4, 0xAAAAAAAA);
    EXPECT_FALSE(five.StoreWords(out.data(), 2));
    EXPECT_EQ(out, std::vector<uint32_t>(4, 0xAAAAAAAA));
    EXPECT_TRUE(five.StoreWords(out.data(), 3));
    EXPECT_EQ(out, (std::vector<uint32_t>{5, 0, 0, 0xAAAAAAAA}));
    EXPECT_FALSE(five.StoreWords(nullptr, 3));
}

TEST(BigIntBasics, ResizeExtendsBySignAndShrinkKeepsBitLength) {
    BigInt v = Int(-2);
    v.Resize(3);
    EXPECT_EQ(v.WordCount, 3u);
    EXPECT_EQ(v.Words[1], 0xFFFFFFFFu);
    EXPECT_EQ(v.Words[2], 0xFFFFFFFFu);
    EXPECT_EQ(v.BitLength, -2);
    v.Resize(0);
    EXPECT_EQ(v.WordCount, 1u);
    EXPECT_EQ(HexOf(v), "-2");

    BigInt w = FromWords({1, 2, 0});
    w.Resize(1);
    EXPECT_EQ(w.BitLength, 34);  // left as it was
    EXPECT_EQ(w.WordCount, 1u);
}

TEST(BigIntBasics, MoveToLeavesZeroBehind) {
    BigInt source = FromWords({1, 2, 3});
    BigInt target = Int(-9);
    source.MoveTo(target);
    EXPECT_EQ(HexOf(target), "30000000200000001");
    EXPECT_EQ(target.WordCount, 3u);
    EXPECT_EQ(source.WordCount, 1u);
    EXPECT_EQ(source.BitLength, 0);
    EXPECT_EQ(source.Words[0], 0u);
}

TEST(BigIntBasics, ComplementMirrorsBitLength) {
    for (int32_t v : {0, 1, -1, 77, -77, INT32_MAX, INT32_MIN}) {
        BigInt x = Int(v);
        x.Complement();
        EXPECT_EQ(x.BitLength, -1 - Int(v).BitLength) << v;
        EXPECT_TRUE(SameState(x, Int(~v))) << v;
    }
}

TEST(BigIntNegate, MostNegativeGainsAWordAndComesBack) {
    BigInt v = Int(INT32_MIN);
    EXPECT_TRUE(v.IsMostNegative());
    v.Negate();
    EXPECT_EQ(v.WordCount, 2u);
    EXPECT_EQ(v.BitLength, 32);
    EXPECT_EQ(HexOf(v), "80000000");
    EXPECT_FALSE(v.IsMostNegative());
    v.Negate();
    EXPECT_EQ(v.WordCount, 2u);
    EXPECT_EQ(v.BitLength, -32);
    EXPECT_EQ(HexOf(v), "-80000000");
    EXPECT_FALSE(v.IsMostNegative());  // two words: not -2^63

    BigInt zero = Int(0);
    zero.Negate();
    EXPECT_TRUE(SameState(zero, Int(0)));

    // Carry through a run of zero words: -(2^64) from 2^64.
    BigInt big = FromWords({0, 0, 1});
    big.Negate();
    EXPECT_EQ(HexOf(big), "-10000000000000000");
    EXPECT_EQ(big.WordCount, 3u);
    EXPECT_TRUE(IsNormalized(big));
}

TEST(BigIntCompare, ValuesNotStorage) {
    BigInt fiveWide = Int(5);
    fiveWide.Resize(3);
    EXPECT_EQ(Compare(Int(5), fiveWide), 0);
    EXPECT_LT(Compare(Int(-1), Int(0)), 0);
    EXPECT_GT(Compare(Int(0), Int(-1)), 0);
    EXPECT_LT(Compare(Int(-4), Int(-3)), 0);
    EXPECT_LT(Compare(Int(-5), Int(-4)), 0);  // different bit lengths
    EXPECT_LT(Compare(FromWords({0, 0x80000000}), Int(1)), 0);
    EXPECT_GT(Compare(FromWords({1, 1, 0}), FromWords({0xFFFFFFFF, 0})), 0);
    EXPECT_LT(Compare(FromWords({2, 0xFFFFFFFF}), FromWords({3, 0xFFFFFFFF})), 0);
    EXPECT_EQ(Compare(Int(-1), FromWords({0xFFFFFFFF, 0xFFFFFFFF})), 0);
}

TEST(BigIntShift, ShiftLeftBitGrowsOnlyWhenABitFallsOut) {
    BigInt v = Int(0x40000000);
    v.ShiftLeftBit();
    // The transient state: bit 31 set, still read as positive.
    EXPECT_EQ(v.WordCount, 1u);
    EXPECT_EQ(v.BitLength, 32);
    EXPECT_EQ(v.WordAt(1), 0u);
    EXPECT_EQ(HexOf(v), "80000000");
    EXPECT_GT(Compare(v, Int(INT32_MAX)), 0);
    v.ShiftLeftBit();
    EXPECT_EQ(v.WordCount, 2u);
    EXPECT_EQ(HexOf(v), "100000000");
    EXPECT_TRUE(IsNormalized(v));

    BigInt n = Int(-1);
    n.ShiftLeftBit();
    EXPECT_EQ(n.WordCount, 2u);
    EXPECT_EQ(HexOf(n), "-2");
    EXPECT_EQ(n.BitLength, -2);

    BigInt zero = Int(0);
    zero.ShiftLeftBit();
    EXPECT_TRUE(SameState(zero, Int(0)));
}

TEST(BigIntShift, ShiftLeftWords) {
    BigInt v = Int(-3);
    v.ShiftLeftWords(2);
    EXPECT_EQ(v.WordCount, 3u);
    EXPECT_EQ(v.BitLength, -67);
    EXPECT_EQ(HexOf(v), "-30000000000000000");
    EXPECT_TRUE(IsNormalized(v));

    // Spare sign words are used before the value grows.
    BigInt w = Int(7);
    w.Resize(4);
    w.ShiftLeftWords(2);
    EXPECT_EQ(w.WordCount, 4u);
    EXPECT_EQ(HexOf(w), "70000000000000000");

    BigInt zero = Int(0);
    zero.ShiftLeftWords(3);
    EXPECT_EQ(zero.BitLength, 0);
    EXPECT_EQ(HexOf(zero), "0");
}

TEST(BigIntAdd, EdgeCases) {
    BigInt sum;
    const BigInt v = FromWords({0x12345678, 0x9ABCDEF0, 0x1});
    BigInt negated = v;
    negated.Negate();
    BigAdd(v, negated, sum);
    EXPECT_EQ(sum.BitLength, 0);
    EXPECT_EQ(HexOf(sum), "0");
    EXPECT_TRUE(IsNormalized(sum));

    BigAdd(Int(INT32_MAX), Int(1), sum);
    EXPECT_EQ(sum.WordCount, 2u);
    EXPECT_EQ(sum.BitLength, 32);
    EXPECT_EQ(HexOf(sum), "80000000");

    // Two non-negative operands leave a carry word on top.
    BigAdd(Int(1), Int(2), sum);
    EXPECT_EQ(sum.WordCount, 2u);
    EXPECT_EQ(HexOf(sum), "3");

    // Two negative operands give the exact sum, here one that needs a new word.
    BigAdd(Int(INT32_MIN), Int(INT32_MIN), sum);
    EXPECT_EQ(HexOf(sum), "-100000000");
    EXPECT_TRUE(IsNormalized(sum));
}

TEST(BigIntAdd, InPlaceAndSelf) {
    BigInt x = FromWords({0xFFFFFFFF, 0x7FFFFFFF});
    BigAdd(x, x, x);
    EXPECT_EQ(HexOf(x), "fffffffffffffffe");
    EXPECT_TRUE(IsNormalized(x));
    BigInt y = Int(-10);
    BigSubtract(y, y, y);
    EXPECT_EQ(HexOf(y), "0");
    BigInt a = Int(100);
    BigSubtract(Int(3), a, a);
    EXPECT_EQ(HexOf(a), "-61");
}

TEST(BigIntMultiply, WordCountsOfSmallProducts) {
    BigInt p;
    BigMultiply(Int(1), Int(2), p);
    EXPECT_EQ(p.WordCount, 2u);
    EXPECT_EQ(HexOf(p), "2");
    // The carry out of the last word becomes the top word.
    BigMultiply(Int(INT32_MAX), Int(4), p);
    EXPECT_EQ(p.WordCount, 2u);
    EXPECT_EQ(HexOf(p), "1fffffffc");
    BigMultiply(FromWords({0xFFFFFFFF, 0}), FromWords({0xFFFFFFFF, 0}), p);
    EXPECT_EQ(p.WordCount, 3u);
    EXPECT_EQ(HexOf(p), "fffffffe00000001");
    EXPECT_TRUE(IsNormalized(p));

    BigMultiply(Int(-3), Int(0), p);
    EXPECT_TRUE(SameState(p, Int(0)));
    BigMultiply(Int(-3), Int(-5), p);
    EXPECT_EQ(HexOf(p), "f");
    BigMultiply(Int(INT32_MIN), Int(INT32_MIN), p);
    EXPECT_EQ(HexOf(p), "4000000000000000");
}

TEST(BigIntMultiply, OutputMayBeAnOperand) {
    const std::vector<uint32_t> words = {0x89ABCDEF, 0x01234567, 0xFEDCBA98, 0x00000076};
    BigInt expected;
    BigMultiply(FromWords(words), FromWords(words), expected);
    BigInt x = FromWords(words);
    BigMultiply(x, x, x);
    EXPECT_TRUE(SameState(x, expected));
    BigInt y = FromWords(words);
    BigInt z = Int(-1);
    BigMultiply(z, y, z);
    EXPECT_EQ(HexOf(z), "-76fedcba980123456789abcdef");
}

TEST(BigIntDivide, EdgeCases) {
    BigInt q, r;
    // Dividend below the divisor: quotient 0, the dividend with its word count.
    BigInt small = Int(5);
    small.Resize(3);
    BigDivide(small, FromWords({0, 1}), q, r);
    EXPECT_EQ(HexOf(q), "0");
    EXPECT_TRUE(SameState(r, small));

    const BigInt v = FromWords({0x11111111, 0x22222222, 0x33333333});
    BigDivide(v, v, q, r);
    EXPECT_EQ(HexOf(q), "1");
    EXPECT_EQ(HexOf(r), "0");
    BigDivide(Int(9), Int(9), q, r);
    EXPECT_EQ(HexOf(q), "1");
    EXPECT_EQ(HexOf(r), "0");

    BigDivide(Int(0), Int(-4), q, r);
    EXPECT_TRUE(SameState(q, Int(0)));
    EXPECT_TRUE(SameState(r, Int(0)));

    // A one-word remainder with bit 31 set gets a zero word above it.
    BigDivide(FromWords({0x80000000, 1}), FromWords({0xF0000000, 0}), q, r);
    EXPECT_EQ(HexOf(q), "1");
    EXPECT_EQ(HexOf(r), "90000000");
    EXPECT_EQ(r.WordCount, 2u);
    BigDivide(FromWords({0xFFFFFFFF, 0}), FromWords({0xFFFFFFFE, 0}), q, r);
    EXPECT_EQ(HexOf(q), "1");
    EXPECT_EQ(r.WordCount, 1u);
    BigDivide(FromWords({0xFFFFFFFE, 1, 0}), FromWords({0xFFFFFFFF, 0}), q, r);
    EXPECT_EQ(HexOf(q), "2");
    EXPECT_EQ(HexOf(r), "0");
    BigDivide(FromWords({0xFFFFFFFF, 1, 0}), Int(INT32_MIN + 1), q, r);
    EXPECT_TRUE(IsNormalized(r));
}

TEST(BigIntDivide, RemainderTakesTheDivisorsSign) {
    const struct {
        int32_t a, b, quotient, remainder;
    } cases[] = {
        {7, 2, 3, 1},   {-7, 2, -3, 1}, {7, -2, -3, -1}, {-7, -2, 3, -1}, {-6, 2, -3, 0},
        {6, -2, -3, 0}, {-6, -2, 3, 0}, {1, -5, 0, -4},  {-1, 5, 0, 4},
    };
    for (const auto& c : cases) {
        BigInt q, r;
        BigDivide(Int(c.a), Int(c.b), q, r);
        EXPECT_EQ(Compare(q, Int(c.quotient)), 0) << c.a << " / " << c.b;
        EXPECT_EQ(Compare(r, Int(c.remainder)), 0) << c.a << " / " << c.b;
        EXPECT_TRUE(IsNormalized(q));
        EXPECT_TRUE(IsNormalized(r));
    }
}

TEST(BigIntDivide, EveryAliasingGivesTheSameResults) {
    const BigInt a = FromWords({0x01234567, 0x89ABCDEF, 0x76543210, 0x00FEDCBA});
    const BigInt b = FromWords({0x0BADF00D, 0x00C0FFEE});
    BigInt q, r;
    BigDivide(a, b, q, r);

    BigInt x = a;
    BigDivide(x, b, x, r);  // quotient is the dividend
    EXPECT_TRUE(SameState(x, q));
    BigInt y = b;
    BigDivide(a, y, q, y);  // remainder is the divisor
    EXPECT_TRUE(SameState(y, r));
    BigInt z = a;
    BigInt q2;
    BigDivide(z, b, q2, z);  // remainder is the dividend
    EXPECT_TRUE(SameState(z, r));
    EXPECT_TRUE(SameState(q2, q));
    BigInt both;
    BigDivide(a, b, both, both);  // one object receives the quotient
    EXPECT_TRUE(SameState(both, q));
    BigInt s = a;
    BigInt t = b;
    BigDivide(s, t, t, s);  // quotient into the divisor, remainder into the dividend
    EXPECT_TRUE(SameState(t, q));
    EXPECT_TRUE(SameState(s, r));
}

TEST(BigIntPower, ZeroAndNegativeExponents) {
    BigInt out;
    BigPower(Int(0), Int(0), out);
    EXPECT_TRUE(SameState(out, Int(1)));
    BigPower(Int(3), Int(-1), out);
    EXPECT_TRUE(SameState(out, Int(0)));
    BigPower(Int(0), Int(5), out);
    EXPECT_TRUE(SameState(out, Int(0)));
    BigPowerMod(Int(7), Int(0), Int(1), out);
    EXPECT_TRUE(SameState(out, Int(1)));
    BigPowerMod(Int(7), Int(0), Int(0), out);  // no division happens
    EXPECT_TRUE(SameState(out, Int(1)));
    BigPowerMod(Int(7), Int(-2), Int(11), out);
    EXPECT_TRUE(SameState(out, Int(0)));
    BigPowerMod(Int(7), Int(3), Int(1), out);
    EXPECT_EQ(HexOf(out), "0");
}

TEST(BigIntPower, SmallValues) {
    BigInt out;
    BigPower(Int(3), Int(40), out);
    EXPECT_EQ(HexOf(out), "a8b8b452291fe821");
    BigPower(Int(-2), Int(65), out);
    EXPECT_EQ(HexOf(out), "-20000000000000000");
    BigPowerMod(Int(4), Int(13), Int(497), out);
    EXPECT_EQ(HexOf(out), "1bd");  // 445
    BigPowerMod(Int(4), Int(13), Int(-497), out);
    EXPECT_EQ(HexOf(out), "-34");  // 445 - 497
    BigPowerMod(Int(-4), Int(3), Int(10), out);
    EXPECT_EQ(HexOf(out), "6");  // -64 mod 10
}

TEST(BigIntPower, OutputMayBeAnOperand) {
    const BigInt base = FromWords({0xDEADBEEF, 0x1234});
    const BigInt exponent = Int(21);
    const BigInt modulus = FromWords({0xFFFFFFFB, 0xFFFFFFFF, 0x0FFFFFFF});
    BigInt expected;
    BigPower(base, exponent, expected);
    BigInt x = base;
    BigPower(x, exponent, x);
    EXPECT_TRUE(SameState(x, expected));
    BigInt e = exponent;
    BigPower(base, e, e);
    EXPECT_TRUE(SameState(e, expected));

    BigPowerMod(base, exponent, modulus, expected);
    BigInt y = base;
    BigPowerMod(y, exponent, modulus, y);
    EXPECT_TRUE(SameState(y, expected));
    BigInt m = modulus;
    BigPowerMod(base, exponent, m, m);
    EXPECT_TRUE(SameState(m, expected));
}

// ---------------------------------------------------------------------------
// The word-array entries

TEST(PowMod, ExponentOneStoresTwoWordsAndLeavesTheRest) {
    const uint32_t one = 1;
    std::vector<uint32_t> result(33, 0x5A5A5A5A);
    ASSERT_TRUE(pow2mod(result.data(), 33, &one, 1, kOakleyGroup2Prime, 33));
    EXPECT_EQ(result[0], 2u);
    EXPECT_EQ(result[1], 0u);
    for (size_t i = 2; i < result.size(); ++i) {
        EXPECT_EQ(result[i], 0x5A5A5A5Au) << i;
    }
}

TEST(PowMod, ABaseOf1024BitsToThePowerOneNeeds34Words) {
    // A 1024-bit base below p: the product 1 * base keeps 34 words.
    std::vector<uint32_t> base = Prime();
    base[0] -= 5;
    const uint32_t one = 1;
    std::vector<uint32_t> result(34, 0x11111111);
    EXPECT_FALSE(powmod(result.data(), 33, base.data(), 33, &one, 1, kOakleyGroup2Prime, 33));
    EXPECT_EQ(result, std::vector<uint32_t>(34, 0x11111111));
    ASSERT_TRUE(powmod(result.data(), 34, base.data(), 33, &one, 1, kOakleyGroup2Prime, 33));
    base.push_back(0);
    EXPECT_EQ(result, base);
}

TEST(PowMod, NullPointersAndNegativeExponents) {
    const uint32_t exponent[4] = {5, 0, 0, 0};
    const uint32_t base[1] = {3};
    std::vector<uint32_t> result(33, 9);
    EXPECT_FALSE(powmod(nullptr, 33, base, 1, exponent, 4, kOakleyGroup2Prime, 33));
    EXPECT_FALSE(powmod(result.data(), 33, nullptr, 1, exponent, 4, kOakleyGroup2Prime, 33));
    EXPECT_FALSE(powmod(result.data(), 33, base, 1, nullptr, 4, kOakleyGroup2Prime, 33));
    EXPECT_FALSE(powmod(result.data(), 33, base, 1, exponent, 4, nullptr, 33));
    EXPECT_FALSE(pow2mod(result.data(), 33, exponent, 4, nullptr, 33));
    EXPECT_EQ(result, std::vector<uint32_t>(33, 9));

    const uint32_t negative[2] = {5, 0x80000000};
    ASSERT_TRUE(pow2mod(result.data(), 33, negative, 2, kOakleyGroup2Prime, 33));
    EXPECT_EQ(result[0], 0u);
    EXPECT_EQ(result[1], 9u);

    // A zero exponent gives 1, even from a zero-count exponent array.
    ASSERT_TRUE(powmod(result.data(), 33, base, 1, exponent, 0, kOakleyGroup2Prime, 33));
    EXPECT_EQ(result[0], 1u);
}

// ---------------------------------------------------------------------------
// Fatal conditions, against the test backend (which dies as the real one does)

class BigIntFatal : public ::testing::Test {
  protected:
    void SetUp() override {
        testplatform::Reset();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

BigInt Filled(uint32_t words, uint32_t value) {
    return FromWords(std::vector<uint32_t>(words, value));
}

// 2^(32 words) - 1, with its zero sign word.
BigInt AllOnes(uint32_t words) {
    std::vector<uint32_t> w(words, 0xFFFFFFFF);
    w.push_back(0);
    return FromWords(w);
}

TEST_F(BigIntFatal, ResizeBeyondCapacityOverflows) {
    BigInt v = Int(1);
    v.Resize(BIGINT_MAX_WORDS);
    EXPECT_EQ(v.WordCount, BIGINT_MAX_WORDS);
    EXPECT_EXIT(v.Resize(BIGINT_MAX_WORDS + 1), ::testing::KilledBySignal(SIGABRT),
                "integer overflow");
}

TEST_F(BigIntFatal, ShiftLeftBitBeyondCapacityOverflows) {
    BigInt v = Filled(BIGINT_MAX_WORDS, 0xFFFFFFFF);  // -1 in 67 words
    EXPECT_EXIT(v.ShiftLeftBit(), ::testing::KilledBySignal(SIGABRT), "integer overflow");
}

TEST_F(BigIntFatal, LoadingMoreThanCapacityOverflows) {
    const std::vector<uint32_t> words(BIGINT_MAX_WORDS + 1, 1);
    BigInt v;
    EXPECT_EXIT(v.LoadWords(words.data(), BIGINT_MAX_WORDS + 1), ::testing::KilledBySignal(SIGABRT),
                "integer overflow");
}

TEST_F(BigIntFatal, PrepareBeyondCapacityTerminates) {
    BigInt v;
    EXPECT_EXIT(v.Prepare(BIGINT_MAX_WORDS + 1), ::testing::KilledBySignal(SIGABRT), "terminate");
}

TEST_F(BigIntFatal, SumsOfFullWidthValuesEndTheProcessByTheirOutputs) {
    // 67 significant words leave no room for the carry word of a sum: a fresh output
    // is prepared (and terminates), an operand used as output is resized (overflow).
    std::vector<uint32_t> words(BIGINT_MAX_WORDS, 0x12345678);
    words.back() = 0x40000000;
    const BigInt wide = FromWords(words);
    ASSERT_EQ(wide.SignificantWords(), BIGINT_MAX_WORDS);
    BigInt fresh;
    EXPECT_EXIT(BigAdd(wide, Int(1), fresh), ::testing::KilledBySignal(SIGABRT), "terminate");
    EXPECT_EXIT(BigSubtract(Int(1), wide, fresh), ::testing::KilledBySignal(SIGABRT), "terminate");
    BigInt target = wide;
    EXPECT_EXIT(BigAdd(Int(1), target, target), ::testing::KilledBySignal(SIGABRT),
                "integer overflow");
    EXPECT_EXIT(BigSubtract(target, Int(1), target), ::testing::KilledBySignal(SIGABRT),
                "integer overflow");
    // Subtracting into the subtrahend counts as a fresh output: it is a negated copy
    // that is added.
    EXPECT_EXIT(BigSubtract(Int(1), target, target), ::testing::KilledBySignal(SIGABRT),
                "terminate");
}

TEST_F(BigIntFatal, ProductOf1024BitValuesFitsButSquaring1056OnesDoesNot) {
    BigInt square;
    const BigInt ones1024 = AllOnes(32);
    BigMultiply(ones1024, ones1024, square);
    EXPECT_TRUE(IsNormalized(square));
    EXPECT_EQ(square.BitLength, 2048);

    const BigInt ones1056 = AllOnes(33);
    EXPECT_EQ(ones1056.BitLength, 1056);
    EXPECT_EXIT(BigMultiply(ones1056, ones1056, square), ::testing::KilledBySignal(SIGABRT), "");
}

TEST_F(BigIntFatal, DivisionByZeroRaisesSigfpe) {
    BigInt q, r;
    EXPECT_EXIT(BigDivide(Int(5), Int(0), q, r), ::testing::KilledBySignal(SIGFPE), "");
    const uint32_t exponent = 3;
    const uint32_t base = 2;
    uint32_t result[2];
    EXPECT_EXIT(powmod(result, 2, &base, 1, &exponent, 1, &base, 0),
                ::testing::KilledBySignal(SIGFPE), "");
}

TEST_F(BigIntFatal, ContinuedDivisionByZeroGivesZeros) {
    testplatform::SetDivideByZeroContinues(true);
    BigInt q = Int(4);
    BigInt r = Int(4);
    BigDivide(Int(5), Int(0), q, r);
    EXPECT_EQ(testplatform::DivideByZeroCount(), 1);
    EXPECT_TRUE(SameState(q, Int(0)));
    EXPECT_TRUE(SameState(r, Int(0)));

    // powmod with a zero modulus keeps going on zeros: every reduction raises.
    // Exponent 3: the first reduction, then two products and two squarings.
    const uint32_t exponent = 3;
    const uint32_t base = 2;
    uint32_t result[2] = {7, 7};
    EXPECT_TRUE(powmod(result, 2, &base, 1, &exponent, 1, &base, 0));
    EXPECT_EQ(result[0], 0u);
    EXPECT_EQ(testplatform::DivideByZeroCount(), 1 + 5);
}

}  // namespace

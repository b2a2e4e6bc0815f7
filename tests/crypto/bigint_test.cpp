// The big-integer arithmetic on hand-picked values: the bit lengths, word counts and
// sign words that callers can observe, aliasing, and the fatal conditions.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "crypto/bigint.h"
#include "platform/test/test_platform.h"
#include "tests/crypto/bigint_test_util.h"

// Under AddressSanitizer a SIGFPE would be caught and reported as an abort; let it
// end the process as it does in a plain build. Unused without the sanitizer.
extern "C" const char* __asan_default_options() {
    return "handle_sigfpe=0";
}

namespace {

using bigint_test::FromWords;
using bigint_test::Hex;
using bigint_test::IsNormalized;
using bigint_test::SameState;

BigInt Int(int32_t v) {
    BigInt x;
    x.SetInt(v);
    return x;
}

// Value (hex), WordCount and BitLength in one check.
::testing::AssertionResult Is(const BigInt& x, const char* hex, uint32_t words, int32_t length) {
    if (Hex(x) != hex || x.WordCount != words || x.BitLength != length) {
        return ::testing::AssertionFailure()
               << Hex(x) << " in " << x.WordCount << " words, BitLength " << x.BitLength;
    }
    return ::testing::AssertionSuccess();
}

const std::vector<uint32_t> kPrime(kOakleyGroup2Prime, kOakleyGroup2Prime + 33);

TEST(BigIntState, SetIntAndLoadWordsBitLengths) {
    const int32_t values[] = {0, 1, 255, INT32_MAX, -1, -2, -3, -4, -5, INT32_MIN};
    const int32_t lengths[] = {0, 1, 8, 31, -1, -2, -3, -3, -4, -32};
    for (size_t i = 0; i < sizeof values / sizeof values[0]; ++i) {
        EXPECT_EQ(Int(values[i]).BitLength, lengths[i]) << values[i];
        EXPECT_EQ(Int(values[i]).WordCount, 1u);
    }
    // The sign of a word array is the top bit of its last word.
    EXPECT_TRUE(Is(FromWords({0xFFFFFFFF}), "-1", 1, -1));
    EXPECT_TRUE(Is(FromWords({0xFFFFFFFF, 0}), "ffffffff", 2, 32));
    EXPECT_TRUE(Is(FromWords({0, 0x80000000}), "-8000000000000000", 2, -64));
    EXPECT_TRUE(Is(FromWords({0x7FFFFFFF, 0xFFFFFFFF}), "-80000001", 2, -33));
    BigInt x = Int(5);
    x.LoadWords(nullptr, 3);
    EXPECT_TRUE(Is(x, "0", 1, 0));
    x.LoadWords(kPrime.data(), 0);
    EXPECT_TRUE(Is(x, "0", 1, 0));

    EXPECT_EQ(Int(0).SignificantWords(), 0u);
    EXPECT_EQ(Int(INT32_MAX).SignificantWords(), 1u);
    EXPECT_EQ(FromWords({0x80000000, 0}).SignificantWords(), 2u);
    EXPECT_EQ(Int(INT32_MIN).SignificantWords(), 1u);
    EXPECT_EQ(FromWords({0x7FFFFFFF, 0xFFFFFFFF}).SignificantWords(), 2u);
    EXPECT_EQ(Int(-5).WordAt(66), 0xFFFFFFFFu);
    EXPECT_EQ(Int(5).WordAt(1), 0u);
}

TEST(BigIntState, ResizeStoreWordsAndMoveTo) {
    BigInt x = Int(-2);
    x.Resize(3);
    EXPECT_TRUE(Is(x, "-2", 3, -2));
    EXPECT_EQ(x.Words[2], 0xFFFFFFFFu);
    BigInt y = FromWords({1, 2, 0});
    y.Resize(1);
    EXPECT_EQ(y.BitLength, 34);  // shrinking leaves BitLength as it was
    BigInt seven = FromWords({7, 0});
    seven.Resize(0);  // counts as one word
    EXPECT_TRUE(Is(seven, "7", 1, 3));

    // StoreWords compares WordCount, not the significant words, with the capacity.
    BigInt five = Int(5);
    five.Resize(3);
    std::vector<uint32_t> out(4, 0xAAAAAAAA);
    EXPECT_FALSE(five.StoreWords(out.data(), 2));
    EXPECT_EQ(out, std::vector<uint32_t>(4, 0xAAAAAAAA));
    EXPECT_TRUE(five.StoreWords(out.data(), 3));
    EXPECT_EQ(out, (std::vector<uint32_t>{5, 0, 0, 0xAAAAAAAA}));

    five.MoveTo(x);
    EXPECT_TRUE(Is(x, "5", 3, 3));
    EXPECT_TRUE(Is(five, "0", 1, 0));
}

TEST(BigIntState, NegateAndCompare) {
    BigInt x = Int(INT32_MIN);
    EXPECT_TRUE(x.IsMostNegative());
    x.Negate();
    EXPECT_TRUE(Is(x, "80000000", 2, 32));
    x.Negate();
    EXPECT_TRUE(Is(x, "-80000000", 2, -32));
    EXPECT_FALSE(x.IsMostNegative());
    BigInt carry = FromWords({0, 0, 1});
    carry.Negate();
    EXPECT_TRUE(Is(carry, "-10000000000000000", 3, -65));

    BigInt wideFive = Int(5);
    wideFive.Resize(3);
    EXPECT_EQ(Compare(Int(5), wideFive), 0);
    EXPECT_LT(Compare(Int(-1), Int(0)), 0);
    EXPECT_LT(Compare(Int(-5), Int(-4)), 0);
    EXPECT_LT(Compare(FromWords({0, 0x80000000}), Int(1)), 0);
    EXPECT_LT(Compare(FromWords({2, 0xFFFFFFFF}), FromWords({3, 0xFFFFFFFF})), 0);
    EXPECT_GT(Compare(FromWords({1, 1, 0}), FromWords({0xFFFFFFFF, 0})), 0);
}

TEST(BigIntState, Shifts) {
    // Bit 31 of the top word set while BitLength stays positive: read as positive.
    BigInt x = Int(0x40000000);
    x.ShiftLeftBit();
    EXPECT_TRUE(Is(x, "80000000", 1, 32));
    EXPECT_GT(Compare(x, Int(INT32_MAX)), 0);
    x.ShiftLeftBit();
    EXPECT_TRUE(Is(x, "100000000", 2, 33));
    BigInt minusOne = Int(-1);
    minusOne.ShiftLeftBit();
    EXPECT_TRUE(Is(minusOne, "-2", 2, -2));

    // Whole words: the bit length moves by 32 a word, away from zero, and zero stays.
    const struct {
        int32_t value;
        uint32_t words, spare;
        const char* hex;
        uint32_t wordCount;
        int32_t bitLength;
    } rows[] = {
        {-3, 2, 1, "-30000000000000000", 3, -67},
        {7, 2, 4, "70000000000000000", 4, 67},  // spare sign words are used before growing
        {1, 2, 1, "10000000000000000", 3, 65},
        {-1, 1, 1, "-100000000", 2, -33},
        {0, 2, 1, "0", 2, 0},
        {5, 0, 1, "5", 1, 3},
    };
    for (const auto& row : rows) {
        BigInt v = Int(row.value);
        v.Resize(row.spare);
        v.ShiftLeftWords(row.words);
        EXPECT_TRUE(Is(v, row.hex, row.wordCount, row.bitLength))
            << row.value << " by " << row.words;
    }
}

TEST(BigIntArithmetic, AddAndMultiplyWordCounts) {
    BigInt out;
    BigAdd(FromWords({0x12345678, 0x9ABCDEF0, 1}), FromWords({0xEDCBA988, 0x6543210F, 0xFFFFFFFE}),
           out);
    EXPECT_TRUE(Is(out, "0", 3, 0));
    BigAdd(Int(INT32_MAX), Int(1), out);
    EXPECT_TRUE(Is(out, "80000000", 2, 32));
    BigAdd(Int(INT32_MIN), Int(INT32_MIN), out);  // both negative: the exact sum
    EXPECT_TRUE(Is(out, "-100000000", 2, -33));
    BigSubtract(Int(3), out, out);
    EXPECT_TRUE(Is(out, "100000003", 3, 33));

    BigMultiply(Int(1), Int(2), out);
    EXPECT_TRUE(Is(out, "2", 2, 2));
    BigMultiply(FromWords({0xFFFFFFFF, 0}), FromWords({0xFFFFFFFF, 0}), out);
    EXPECT_TRUE(Is(out, "fffffffe00000001", 3, 64));
    BigMultiply(Int(INT32_MIN), Int(INT32_MIN), out);
    EXPECT_EQ(Hex(out), "4000000000000000");
    BigInt x = FromWords({0x89ABCDEF, 0x01234567, 0xFEDCBA98, 0x76});
    BigMultiply(Int(-1), x, x);
    EXPECT_EQ(Hex(x), "-76fedcba980123456789abcdef");
}

TEST(BigIntArithmetic, DivideEdgeCasesAndSigns) {
    BigInt q, r;
    BigInt small = Int(5);
    small.Resize(3);
    BigDivide(small, FromWords({0, 1}), q, r);  // the dividend, with its word count
    EXPECT_TRUE(Is(q, "0", 1, 0));
    EXPECT_TRUE(SameState(r, small));
    const BigInt v = FromWords({0x11111111, 0x22222222, 0x33333333});
    BigDivide(v, v, q, r);
    EXPECT_EQ(Hex(q) + Hex(r), "10");
    // A one-word remainder with bit 31 set gets a sign word.
    BigDivide(FromWords({0x80000000, 1}), FromWords({0xF0000000, 0}), q, r);
    EXPECT_TRUE(Is(r, "90000000", 2, 32));

    // Truncated quotient; the remainder takes the divisor's sign. The last two: a zero
    // dividend clears a quotient and a remainder in use.
    const int32_t cases[][4] = {{7, 2, 3, 1},   {-7, 2, -3, 1}, {7, -2, -3, -1}, {-7, -2, 3, -1},
                                {-6, 2, -3, 0}, {6, -2, -3, 0}, {1, -5, 0, -4},  {0, -4, 0, 0},
                                {9, 2, 4, 1},   {0, 2, 0, 0}};
    for (const auto& c : cases) {
        BigDivide(Int(c[0]), Int(c[1]), q, r);
        EXPECT_EQ(Compare(q, Int(c[2])), 0) << c[0] << " / " << c[1];
        EXPECT_EQ(Compare(r, Int(c[3])), 0) << c[0] << " / " << c[1];
        EXPECT_TRUE(IsNormalized(q) && IsNormalized(r));
    }
}

TEST(BigIntArithmetic, DivideIntoItsOperands) {
    const BigInt a = FromWords({0x01234567, 0x89ABCDEF, 0x76543210, 0x00FEDCBA});
    const BigInt b = FromWords({0x0BADF00D, 0x00C0FFEE});
    BigInt q, r;
    BigDivide(a, b, q, r);
    BigInt x = a, y = b, both, q2;
    BigDivide(x, b, x, r);
    EXPECT_TRUE(SameState(x, q));
    BigDivide(a, y, q2, y);
    EXPECT_TRUE(SameState(y, r));
    BigDivide(a, b, both, both);  // one object receives the quotient
    EXPECT_TRUE(SameState(both, q));
    x = a;
    y = b;
    BigDivide(x, y, y, x);
    EXPECT_TRUE(SameState(y, q) && SameState(x, r));
}

TEST(BigIntArithmetic, Powers) {
    BigInt out;
    BigPower(Int(0), Int(0), out);
    EXPECT_TRUE(Is(out, "1", 1, 1));
    BigPower(Int(3), Int(-1), out);
    EXPECT_TRUE(Is(out, "0", 1, 0));
    BigPowerMod(Int(7), Int(0), Int(1), out);  // not reduced
    EXPECT_TRUE(Is(out, "1", 1, 1));
    BigPowerMod(Int(7), Int(-2), Int(11), out);
    EXPECT_TRUE(Is(out, "0", 1, 0));
    BigPower(Int(3), Int(40), out);
    EXPECT_EQ(Hex(out), "a8b8b452291fe821");
    BigPower(Int(-2), Int(65), out);
    EXPECT_EQ(Hex(out), "-20000000000000000");
    BigPowerMod(Int(4), Int(13), Int(-497), out);
    EXPECT_EQ(Hex(out), "-34");  // 445 - 497

    // The output may be the base, the exponent or the modulus.
    const BigInt base = FromWords({0xDEADBEEF, 0x1234});
    const BigInt modulus = FromWords({0xFFFFFFFB, 0xFFFFFFFF, 0x0FFFFFFF});
    BigInt x = base, e = Int(21), m = modulus;
    BigPower(base, Int(21), out);
    BigPower(x, Int(21), x);
    BigPower(base, e, e);
    EXPECT_TRUE(SameState(x, out) && SameState(e, out));
    BigPowerMod(base, Int(21), modulus, out);
    x = base;
    BigPowerMod(x, Int(21), modulus, x);
    BigPowerMod(base, Int(21), m, m);
    EXPECT_TRUE(SameState(x, out) && SameState(m, out));
}

TEST(PowMod, ResultWordCounts) {
    // 1 * 2 keeps two words; the rest of the result array is left alone.
    const uint32_t one = 1;
    std::vector<uint32_t> result(34, 0x5A5A5A5A);
    ASSERT_TRUE(pow2mod(result.data(), 33, &one, 1, kOakleyGroup2Prime, 33));
    EXPECT_EQ(result[0], 2u);
    EXPECT_EQ(result[1], 0u);
    EXPECT_EQ(result[2], 0x5A5A5A5Au);
    EXPECT_EQ(result[33], 0x5A5A5A5Au);

    // A 1024-bit base to the power 1: the product 1 * base keeps 34 words.
    std::vector<uint32_t> base = kPrime;
    base[0] -= 5;
    std::fill(result.begin(), result.end(), 7);
    EXPECT_FALSE(powmod(result.data(), 33, base.data(), 33, &one, 1, kOakleyGroup2Prime, 33));
    EXPECT_EQ(result, std::vector<uint32_t>(34, 7));
    ASSERT_TRUE(powmod(result.data(), 34, base.data(), 33, &one, 1, kOakleyGroup2Prime, 33));
    base.push_back(0);
    EXPECT_EQ(result, base);
}

TEST(PowMod, MissingOperandsAndNegativeExponents) {
    const uint32_t exponent[2] = {5, 0x80000000};  // negative with both words
    const uint32_t three = 3;
    std::vector<uint32_t> result(2, 9);
    EXPECT_FALSE(powmod(nullptr, 2, &three, 1, exponent, 1, kOakleyGroup2Prime, 33));
    EXPECT_FALSE(powmod(result.data(), 2, nullptr, 1, exponent, 1, kOakleyGroup2Prime, 33));
    EXPECT_FALSE(powmod(result.data(), 2, &three, 1, nullptr, 1, kOakleyGroup2Prime, 33));
    EXPECT_FALSE(pow2mod(result.data(), 2, exponent, 1, nullptr, 33));
    EXPECT_EQ(result, std::vector<uint32_t>(2, 9));
    ASSERT_TRUE(pow2mod(result.data(), 2, exponent, 2, kOakleyGroup2Prime, 33));
    EXPECT_EQ(result, (std::vector<uint32_t>{0, 9}));
    ASSERT_TRUE(powmod(result.data(), 2, &three, 1, exponent, 0, kOakleyGroup2Prime, 33));
    EXPECT_EQ(result, (std::vector<uint32_t>{1, 9}));
}

// Known answers in the group of the handshake, computed once with another
// big-number library. R = 2^(2^13) mod p is the first such power with 1024 bits.
const char kTwoTo1024[] =
    "36f0255dde973dcb3b399d747f23e32ed6fdb1f77598338bfdf44159c4ec64dd"
    "aeb5f78671cbfb22106ae64c32c5bce4cfd4f5920da0ebc8b01eca9292ae3dba"
    "1b7a4a899da181390bb3bd1659c81294f400a3490bf9481211c79404a576605a"
    "5160dbee83b4e019b6d799ae1319ac7e0000000000000001";
const char kR[] =
    "f220ca633c9723ffcd6c535046bc3a27cdc7dce9e16ce4b9cacef9a54cf26e4b"
    "5f8c74c1aedd875e94f4ca112b1cfc6328beaeab6c1d0f6345bf523db770184e"
    "eae922c5a1d5be5a3c15420051d6329e738a8241174d8149fe8505d8106b888d"
    "37e3c6bf9ce4247694f493301440747b9f603a71d14b4537e3cf932eb00301e2";
const char kTwoR[] =
    "e44194c6792e47ffd1c8cbfe6c0fb21ad6c9574841fdaca26c9ba5420f7d1022"
    "bd0d2add22a7739ad89f8ba8c805f3e861e843a30affdbab5b539a0d7c811c66"
    "85f1101dd659ba6e93a4ce8a414de675f2c8c19888631528f10aaef92cd0592c"
    "818f2183df3ea9477b4a024eac35c910f5980e91b5b036edc79f265d600603c5";
// x = fedcba9889abcdef01234567, an exponent shaped like the handshake's.
const char kTwoToX[] =
    "bb6b8c58f2337604ae94e7e47b4466cdf34eb4594f89c9ab22728924adef1f81"
    "53a2eccd7dd8a95b989492b859d54e322ce7e0679d1dfe6d6270410beb1d9830"
    "aebfd195b1f3f31d1ad068c53af21e9aad1a4cadb5ba24abe0df583048cf4a04"
    "781797910b14e6e0135efda6aac462df5cc2b3f7c83b774f2b3b0ea05d0d8bfd";
const char kRToX[] =
    "9d7fbc0bd2601160fb6cc26de5168799b898cc911d295049fc30fafe6708b460"
    "5bf9fa45393502a54bfb57c2cbff81aaec00b8b6d0b1a623b4afdd47eec5e051"
    "59e5cfb71703a9f8040eae72cd2feeb908c47e5e965172718a51f0534aa31095"
    "21a35cade92245d35634504e9d76936f26dffe2165445b724136806f449fec36";

TEST(PowMod, OakleyGroup2KnownAnswers) {
    const uint32_t x[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0};
    // With exponent 2^13 the one product is 1 * R, already reduced: it keeps 34
    // words. A second set bit makes a last product that needs reducing: 33.
    const struct {
        std::vector<uint32_t> exponent;
        const char* hex;
        uint32_t words;
    } cases[] = {{{1024}, kTwoTo1024, 33},
                 {{1u << 13}, kR, 34},
                 {{(1u << 13) | 1}, kTwoR, 33},
                 {{x, x + 4}, kTwoToX, 33}};
    std::vector<uint32_t> r;
    for (const auto& c : cases) {
        const uint32_t n = static_cast<uint32_t>(c.exponent.size());
        std::vector<uint32_t> result(34, 7);
        if (c.words == 34) {
            EXPECT_FALSE(pow2mod(result.data(), 33, c.exponent.data(), n, kOakleyGroup2Prime, 33));
            EXPECT_EQ(result, std::vector<uint32_t>(34, 7));
        }
        result.assign(c.words, 0);  // the words above the result's own stay 0
        ASSERT_TRUE(pow2mod(result.data(), c.words, c.exponent.data(), n, kOakleyGroup2Prime, 33));
        EXPECT_EQ(Hex(FromWords(result)), c.hex) << "2^" << c.exponent[0];
        if (c.hex == kR) {
            r = result;
        }
    }
    // The driver's side: its value to the client's exponent.
    std::vector<uint32_t> result(33, 0);
    ASSERT_TRUE(powmod(result.data(), 33, r.data(), 34, x, 4, kOakleyGroup2Prime, 33));
    EXPECT_EQ(Hex(FromWords(result)), kRToX);
}

// ---------------------------------------------------------------------------
// Fatal conditions, against the test backend, which ends the process as the real
// one does: an overflow with a message and abort(), a division by zero with SIGFPE.

class BigIntFatal : public ::testing::Test {
  protected:
    void SetUp() override {
        testplatform::Reset();
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

#ifdef _WIN32
// There abort() and a signal without a handler both end the process with exit code
// 3; the dying child catches SIGFPE to tell the division by zero apart.
constexpr int kSigfpeExit = 86;
const auto kAborts = ::testing::ExitedWithCode(3);
const auto kDiesOfSigfpe = ::testing::ExitedWithCode(kSigfpeExit);
void CatchSigfpe() {
    std::signal(SIGFPE, [](int) { std::_Exit(kSigfpeExit); });
}
#else
const auto kAborts = ::testing::KilledBySignal(SIGABRT);
const auto kDiesOfSigfpe = ::testing::KilledBySignal(SIGFPE);
void CatchSigfpe() {}
#endif

BigInt AllOnes(uint32_t words) {
    std::vector<uint32_t> w(words, 0xFFFFFFFF);
    w.push_back(0);
    return FromWords(w);
}

TEST_F(BigIntFatal, CapacityOverflows) {
    BigInt x = Int(1);
    x.Resize(BIGINT_MAX_WORDS);
    EXPECT_EXIT(x.Resize(BIGINT_MAX_WORDS + 1), kAborts, "integer overflow");
    const BigInt minusOne = FromWords(std::vector<uint32_t>(BIGINT_MAX_WORDS, 0xFFFFFFFF));
    EXPECT_EXIT(BigInt(minusOne).ShiftLeftBit(), kAborts, "integer overflow");
    const std::vector<uint32_t> words(BIGINT_MAX_WORDS + 1, 1);
    EXPECT_EXIT(x.LoadWords(words.data(), BIGINT_MAX_WORDS + 1), kAborts, "integer overflow");
    // Prepare has no exception to raise: it terminates.
    EXPECT_EXIT(x.Prepare(BIGINT_MAX_WORDS + 1), kAborts, "terminate");

    // The square of 2^1024 - 1 fits; that of 2^1056 - 1 does not.
    BigInt square;
    BigMultiply(AllOnes(32), AllOnes(32), square);
    EXPECT_EQ(square.BitLength, 2048);
    EXPECT_EXIT(BigMultiply(AllOnes(33), AllOnes(33), square), kAborts, "");

    // 2^2111 by 2^2110 + 1: the remainder reaches 2^2111, whose subtraction in place
    // needs room for 67 significant words and a carry word.
    std::vector<uint32_t> dividend(BIGINT_MAX_WORDS, 0), divisor(BIGINT_MAX_WORDS - 1, 0);
    dividend[65] = 0x80000000;
    divisor[0] = 1;
    divisor[65] = 0x40000000;
    BigInt q, r;
    EXPECT_EXIT(BigDivide(FromWords(dividend), FromWords(divisor), q, r), kAborts,
                "integer overflow");
}

TEST_F(BigIntFatal, FullWidthSumsEndByTheirOutputs) {
    // 67 significant words leave no room for a sum's carry word: a fresh output is
    // prepared (and terminates), an operand used as output is resized (overflow).
    // Subtracting into the subtrahend counts as fresh: a negated copy is added.
    std::vector<uint32_t> words(BIGINT_MAX_WORDS, 0x12345678);
    words.back() = 0x40000000;
    BigInt wide = FromWords(words), fresh;
    EXPECT_EXIT(BigAdd(wide, Int(1), fresh), kAborts, "terminate");
    EXPECT_EXIT(BigSubtract(Int(1), wide, wide), kAborts, "terminate");
    EXPECT_EXIT(BigAdd(Int(1), wide, wide), kAborts, "integer overflow");
    EXPECT_EXIT(BigSubtract(wide, Int(1), wide), kAborts, "integer overflow");
    // The most negative 67-word value cannot be negated in its capacity, whatever
    // it is subtracted from and wherever the result goes.
    std::vector<uint32_t> lowest(BIGINT_MAX_WORDS, 0);
    lowest.back() = 0x80000000;
    const BigInt mostNegative = FromWords(lowest);
    EXPECT_EXIT(BigSubtract(Int(0), mostNegative, fresh), kAborts, "integer overflow");
    EXPECT_EXIT(BigSubtract(Int(-1), mostNegative, fresh), kAborts, "integer overflow");
}

TEST_F(BigIntFatal, DivisionByZero) {
    BigInt q = Int(4), r = Int(4);
    EXPECT_EXIT(
        {
            CatchSigfpe();
            BigDivide(Int(5), Int(0), q, r);
        },
        kDiesOfSigfpe, "");
    const uint32_t two = 2, three = 3;
    uint32_t result[2] = {7, 7};
    EXPECT_EXIT(
        {
            CatchSigfpe();
            powmod(result, 2, &two, 1, &three, 1, &two, 0);
        },
        kDiesOfSigfpe, "");

    // When the process is let go on, quotient and remainder are 0.
    testplatform::SetDivideByZeroContinues(true);
    BigDivide(Int(5), Int(0), q, r);
    EXPECT_TRUE(Is(q, "0", 1, 0) && Is(r, "0", 1, 0));
    // powmod with a zero modulus: the first reduction, then two products and two
    // squarings for the exponent 3, each reduction raising again.
    ASSERT_TRUE(powmod(result, 2, &two, 1, &three, 1, &two, 0));
    EXPECT_EQ(result[0], 0u);
    EXPECT_EQ(testplatform::DivideByZeroCount(), 1 + 5);
}

}  // namespace

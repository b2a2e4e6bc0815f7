// Fixed-capacity signed big integers: two's-complement words with a cached signed
// bit length, Karatsuba multiplication, bit-serial long division and modular power.
// Every value lives in automatic storage; nothing here touches the heap.
#include "crypto/bigint.h"

#include <cstddef>
#include <cstring>
#include <exception>

#include "crypto/wipe.h"
#include "platform/platform.h"

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "word pairs are read as 64-bit words");

constexpr uint32_t kAllOnes = 0xFFFFFFFFu;
constexpr uint32_t kTopBit = 0x80000000u;

int LeadingZeros(uint32_t w) {
    return w == 0 ? 32 : __builtin_clz(w);
}

// Number of significant bits of an unsigned word.
int32_t WordBits(uint32_t w) {
    return 32 - LeadingZeros(w);
}

uint32_t SignWordOf(const BigInt& v) {
    return v.BitLength < 0 ? kAllOnes : 0;
}

bool IsZero(const BigInt& v) {
    return v.BitLength == 0;
}

bool IsNegative(const BigInt& v) {
    return v.BitLength < 0;
}

// The fewest words that hold a value of this BitLength with its sign bit.
uint32_t SignificantWordsOf(int32_t bitLength) {
    if (bitLength == 0) {
        return 0;
    }
    const int32_t magnitudeBits = bitLength > 0 ? bitLength : -1 - bitLength;
    return static_cast<uint32_t>(magnitudeBits) / 32 + 1;
}

void CopyWords(uint32_t* to, const uint32_t* from, uint32_t n) {
    std::memcpy(to, from, n * sizeof(uint32_t));
}

}  // namespace

// ---------------------------------------------------------------------------
// Operations of a value

void BigInt::SetInt(int32_t v) {
    const uint32_t bits = static_cast<uint32_t>(v);
    WordCount = 1;
    Words[0] = bits;
    // For negative v, ~bits is -v - 1, whose width plus the sign bit is the length.
    BitLength = v < 0 ? -WordBits(~bits) - 1 : WordBits(bits);
}

void BigInt::Assign(const BigInt& other) {
    if (&other == this) {
        return;
    }
    WordCount = other.WordCount;
    BitLength = other.BitLength;
    CopyWords(Words, other.Words, other.WordCount);
}

void BigInt::MoveTo(BigInt& destination) {
    if (&destination == this) {
        return;
    }
    destination.Assign(*this);
    WordCount = 1;
    BitLength = 0;
    Words[0] = 0;
}

void BigInt::Prepare(uint32_t n) {
    if (n > BIGINT_MAX_WORDS) {
        // Nothing can recover from this; end the process without unwinding.
        std::terminate();
    }
    WordCount = n == 0 ? 1 : n;
    BitLength = 0;
    Words[0] = 0;
}

void BigInt::Resize(uint32_t n) {
    if (n == 0) {
        n = 1;
    }
    if (n > BIGINT_MAX_WORDS) {
        platform::RaiseIntegerOverflow();
    }
    const uint32_t fill = SignWordOf(*this);
    for (uint32_t i = WordCount; i < n; ++i) {
        Words[i] = fill;
    }
    WordCount = n;
}

uint32_t BigInt::SignificantWords() const {
    return SignificantWordsOf(BitLength);
}

uint32_t BigInt::WordAt(uint32_t i) const {
    return i < WordCount ? Words[i] : SignWordOf(*this);
}

uint32_t BigInt::TestBit(uint32_t i) const {
    return (Words[i / 32] >> (i % 32)) & 1u;
}

void BigInt::Normalize() {
    int32_t i = static_cast<int32_t>(WordCount) - 1;
    if ((Words[i] & kTopBit) != 0) {
        while (i >= 0 && Words[i] == kAllOnes) {
            --i;
        }
        // Leading ones of word i are the leading zeros of its complement.
        BitLength = i < 0 ? -1 : -33 - 32 * i + LeadingZeros(~Words[i]);
    } else {
        while (i >= 0 && Words[i] == 0) {
            --i;
        }
        BitLength = i < 0 ? 0 : 32 * (i + 1) - LeadingZeros(Words[i]);
    }
}

void BigInt::LoadWords(const uint32_t* words, uint32_t n) {
    if (words == nullptr || n == 0) {
        SetInt(0);
        return;
    }
    if (n > BIGINT_MAX_WORDS) {
        platform::RaiseIntegerOverflow();
    }
    WordCount = n;
    CopyWords(Words, words, n);
    Normalize();
}

bool BigInt::StoreWords(uint32_t* words, uint32_t capacity) const {
    if (words == nullptr || WordCount > capacity) {
        return false;
    }
    CopyWords(words, Words, WordCount);
    return true;
}

bool BigInt::IsMostNegative() const {
    if (BitLength >= 0 || Words[WordCount - 1] != kTopBit) {
        return false;
    }
    for (uint32_t i = 0; i + 1 < WordCount; ++i) {
        if (Words[i] != 0) {
            return false;
        }
    }
    return true;
}

void BigInt::Complement() {
    for (uint32_t i = 0; i < WordCount; ++i) {
        Words[i] = ~Words[i];
    }
    BitLength = -1 - BitLength;
}

void BigInt::Negate() {
    if (IsZero(*this)) {
        return;
    }
    if (IsMostNegative()) {
        // -2^(32k-1) negates to 2^(32k-1), which needs a sign word more.
        Resize(WordCount + 1);
    }
    Complement();
    for (uint32_t i = 0; i < WordCount; ++i) {
        if (++Words[i] != 0) {
            break;
        }
    }
    Normalize();
}

void BigInt::ShiftLeftBit() {
    if (IsZero(*this)) {
        return;
    }
    const uint32_t carryOut = Words[WordCount - 1] >> 31;
    // Only the significant words change: above them 0 stays 0, and all-ones takes a
    // one from the all-ones or sign bit below. Going downward keeps each word's
    // input unshifted without a carry chain.
    uint32_t n = SignificantWords();
    if (n > WordCount) {
        n = WordCount;
    }
    uint32_t i = n - 1;
    for (; i >= 2; i -= 2) {
        // Two words at a time as one little-endian 64-bit word: the bit-serial
        // division spends most of its time here.
        uint64_t pair;
        std::memcpy(&pair, &Words[i - 1], sizeof pair);
        pair = (pair << 1) | (Words[i - 2] >> 31);
        std::memcpy(&Words[i - 1], &pair, sizeof pair);
    }
    if (i == 1) {
        Words[1] = (Words[1] << 1) | (Words[0] >> 31);
    }
    Words[0] <<= 1;
    BitLength += BitLength > 0 ? 1 : -1;
    if (carryOut != 0) {
        if (WordCount >= BIGINT_MAX_WORDS) {
            platform::RaiseIntegerOverflow();
        }
        Words[WordCount] = BitLength >= 0 ? 1u : kAllOnes;
        ++WordCount;
    }
}

void BigInt::ShiftLeftWords(uint32_t n) {
    if (n == 0) {
        return;
    }
    if (n > BIGINT_MAX_WORDS) {
        platform::RaiseIntegerOverflow();
    }
    const uint32_t needed = SignificantWords() + n;
    if (WordCount < needed) {
        Resize(needed);
    }
    for (uint32_t i = WordCount - 1; i >= n; --i) {
        Words[i] = Words[i - n];
    }
    for (uint32_t i = 0; i < n; ++i) {
        Words[i] = 0;
    }
    const int32_t bits = static_cast<int32_t>(32 * n);
    if (BitLength > 0) {
        BitLength += bits;
    } else if (BitLength < 0) {
        BitLength -= bits;
    }
}

// ---------------------------------------------------------------------------
// Free operations

int32_t Compare(const BigInt& a, const BigInt& b) {
    if (a.BitLength != b.BitLength) {
        return a.BitLength - b.BitLength;
    }
    const int32_t length = a.BitLength;
    if (length == 0 || length == -1) {
        return 0;
    }
    // The highest word that is not a sign word; equal lengths agree above it.
    const int32_t top = length > 0 ? (length - 1) / 32 : (-length - 2) / 32;
    for (int32_t i = top; i >= 0; --i) {
        if (a.Words[i] != b.Words[i]) {
            return a.Words[i] < b.Words[i] ? -1 : 1;
        }
    }
    return 0;
}

namespace {

// BitLength of -v for a normalised v other than zero, without forming -v. A positive
// power of two 2^(L-1) negates to a value of the same width, -2^(L-1) to one of width
// L; every other value gains or loses the sign bit.
int32_t NegatedBitLength(const BigInt& v) {
    const bool negative = v.BitLength < 0;
    const int32_t length = negative ? -v.BitLength : v.BitLength;
    const uint32_t top = static_cast<uint32_t>(length - 1) / 32;
    const uint32_t bit = static_cast<uint32_t>(length - 1) % 32;
    bool powerOfTwo = v.Words[top] == (negative ? kAllOnes << bit : 1u << bit);
    for (uint32_t i = 0; powerOfTwo && i < top; ++i) {
        powerOfTwo = v.Words[i] == 0;
    }
    if (negative) {
        return powerOfTwo ? length : length - 1;
    }
    return powerOfTwo ? -length : -length - 1;
}

// out = a + b, or out = a - b when subtract is set. Subtraction adds -b without
// forming it: its words are those of b inverted with one carried in, which sum to
// the same words and the same final carry as the two's complement that Negate
// would store. The word count and the fatal conditions are those of BigAdd on a
// and -b: the output is resized when it is one of the addends (for subtraction,
// only a counts: -b would be a copy), and prepared otherwise.
void AddOrSubtract(const BigInt& a, const BigInt& b, bool subtract, BigInt& out) {
    const uint32_t na = a.SignificantWords();
    const uint32_t aSign = SignWordOf(a);
    // Stored words worth reading: a value shifted into bit 31 of its top word counts
    // one significant word more than it stores.
    const uint32_t aStored = na < a.WordCount ? na : a.WordCount;
    const uint32_t bSignificant = b.SignificantWords();
    const uint32_t bStored = bSignificant < b.WordCount ? bSignificant : b.WordCount;
    const uint32_t bFill = SignWordOf(b);
    uint32_t nb = bSignificant;
    uint32_t flip = 0;
    uint64_t carry = 0;
    bool inPlace = &out == &a || &out == &b;
    if (subtract) {
        inPlace = &out == &a;
        if (!IsZero(b)) {
            if (b.WordCount == BIGINT_MAX_WORDS && b.IsMostNegative()) {
                // Negate would have to grow beyond the capacity.
                platform::RaiseIntegerOverflow();
            }
            nb = SignificantWordsOf(NegatedBitLength(b));
            flip = kAllOnes;
            carry = 1;
        }
    }
    const uint32_t bSign = bFill ^ flip;
    const uint32_t m = na > nb ? na : nb;
    if (m + 1 > BIGINT_MAX_WORDS) {
        if (inPlace) {
            platform::RaiseIntegerOverflow();  // as Resize
        }
        std::terminate();  // as Prepare
    }
    // Every output word below m is written, and word m too when it is kept, so the
    // fill of Resize and Prepare never shows; the operands' words are each read
    // before the output word of the same index is written.
    const uint32_t common = aStored < bStored ? aStored : bStored;
    uint32_t i = 0;
    for (; i < common && i < m; ++i) {
        const uint64_t sum = static_cast<uint64_t>(a.Words[i]) + (b.Words[i] ^ flip) + carry;
        out.Words[i] = static_cast<uint32_t>(sum);
        carry = sum >> 32;
    }
    for (; i < m; ++i) {
        const uint32_t x = i < aStored ? a.Words[i] : aSign;
        const uint32_t y = (i < bStored ? b.Words[i] : bFill) ^ flip;
        const uint64_t sum = static_cast<uint64_t>(x) + y + carry;
        out.Words[i] = static_cast<uint32_t>(sum);
        carry = sum >> 32;
    }
    if (aSign == bSign) {
        // Two non-negative addends: the carry word. Two negative ones: their sign
        // words plus the carry, so that the exact sum keeps its sign.
        out.Words[m] = static_cast<uint32_t>(aSign + bSign + carry);
        out.WordCount = m + 1;
    } else {
        // Opposite signs: the carry is dropped.
        out.WordCount = m;
    }
    out.Normalize();
}

}  // namespace

void BigAdd(const BigInt& a, const BigInt& b, BigInt& out) {
    AddOrSubtract(a, b, false, out);
}

void BigSubtract(const BigInt& a, const BigInt& b, BigInt& out) {
    AddOrSubtract(a, b, true, out);
}

namespace {

// Words 0 to h - 1 of v followed by a zero word, so the half is never negative.
void LoadLowHalf(const BigInt& v, uint32_t h, BigInt& half) {
    CopyWords(half.Words, v.Words, h);
    half.Words[h] = 0;
    half.WordCount = h + 1;
    half.Normalize();
}

// Both operands at least 2^32; out is zero and distinct from both.
void KaratsubaMultiply(const BigInt& a, const BigInt& b, BigInt& out) {
    const bool bIsLarger = b.SignificantWords() >= a.SignificantWords();
    const BigInt& x = bIsLarger ? b : a;
    const BigInt& y = bIsLarger ? a : b;
    const uint32_t nx = x.SignificantWords();
    const uint32_t ny = y.SignificantWords();
    const uint32_t h = nx / 2;

    BigInt x1, x0, y1, y0;
    x1.LoadWords(x.Words + h, nx - h);
    LoadLowHalf(x, h, x0);
    if (ny < h) {
        y0.LoadWords(y.Words, ny);
    } else {
        y1.LoadWords(y.Words + h, ny - h);
        LoadLowHalf(y, h, y0);
    }

    BigInt p, s, m;
    BigAdd(x1, x0, p);
    BigAdd(y1, y0, s);
    BigMultiply(p, s, m);
    BigMultiply(x1, y1, p);
    BigMultiply(x0, y0, s);
    BigSubtract(m, p, m);
    BigSubtract(m, s, m);
    m.ShiftLeftWords(h);
    p.ShiftLeftWords(2 * h);
    BigAdd(p, m, out);
    BigAdd(out, s, out);
}

// One operand below 2^32; out is zero and distinct from both.
void MultiplyByWord(const BigInt& a, const BigInt& b, BigInt& out) {
    const bool aIsWord = a.BitLength <= 32;
    const uint32_t s = aIsWord ? a.Words[0] : b.Words[0];
    const BigInt& l = aIsWord ? b : a;
    const uint32_t n = l.SignificantWords();
    out.Resize(n + 1);
    uint64_t carry = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t x = static_cast<uint64_t>(l.Words[i]) * s + carry;
        out.Words[i] = static_cast<uint32_t>(x);
        carry = x >> 32;
    }
    if (carry != 0) {
        out.Words[n] = static_cast<uint32_t>(carry);
        if ((carry & kTopBit) != 0) {
            out.Resize(n + 2);
            out.Words[n + 1] = 0;
        }
    }
    out.Normalize();
}

// v itself when it is not negative; otherwise -v, formed in scratch. The signed
// operations work on magnitudes and fix the signs of their results afterwards.
const BigInt* Magnitude(const BigInt& v, BigInt& scratch) {
    if (!IsNegative(v)) {
        return &v;
    }
    scratch.Assign(v);
    scratch.Negate();
    return &scratch;
}

}  // namespace

void BigMultiply(const BigInt& a, const BigInt& b, BigInt& out) {
    if (IsZero(a) || IsZero(b)) {
        out.SetInt(0);
        return;
    }
    const bool aNegative = IsNegative(a);
    const bool bNegative = IsNegative(b);
    if (aNegative || bNegative) {
        BigInt scratchA, scratchB;
        BigMultiply(*Magnitude(a, scratchA), *Magnitude(b, scratchB), out);
        if (aNegative != bNegative) {
            out.Negate();
        }
        return;
    }
    if (&out == &a || &out == &b) {
        BigInt product;
        BigMultiply(a, b, product);
        product.MoveTo(out);
        return;
    }
    out.SetInt(0);
    if (a.BitLength > 32 && b.BitLength > 32) {
        KaratsubaMultiply(a, b, out);
    } else {
        MultiplyByWord(a, b, out);
    }
}

namespace {

// Sets bit 0 of a remainder that was just shifted left when bit n of a is set.
void BringInBit(const BigInt& a, int32_t n, BigInt& remainder) {
    if (a.TestBit(static_cast<uint32_t>(n)) != 0) {
        remainder.Words[0] |= 1u;
        if (remainder.BitLength == 0) {
            remainder.BitLength = 1;
        }
    }
}

// a and b positive; quotient and remainder distinct from them and from each other.
void DividePositive(const BigInt& a, const BigInt& b, BigInt& quotient, BigInt& remainder) {
    if (Compare(b, a) > 0) {
        quotient.SetInt(0);
        remainder.Assign(a);
        return;
    }
    if (b.BitLength <= 32) {
        const uint64_t d = b.Words[0];
        quotient.Prepare(a.WordCount);
        uint64_t rem = 0;
        for (uint32_t i = a.WordCount; i-- > 0;) {
            const uint64_t x = (rem << 32) | a.Words[i];
            quotient.Words[i] = static_cast<uint32_t>(x / d);
            rem = x % d;
        }
        remainder.WordCount = 1;
        remainder.Words[0] = static_cast<uint32_t>(rem);
        if ((rem & kTopBit) != 0) {
            remainder.Words[1] = 0;
            remainder.WordCount = 2;
        }
        remainder.Normalize();
        quotient.Normalize();
        return;
    }

    quotient.SetInt(0);
    quotient.Resize(a.SignificantWords());
    remainder.SetInt(0);
    remainder.Resize(b.SignificantWords());
    int32_t n = a.BitLength;
    // Bring in the top bits of a until the remainder reaches b (a >= b, so it does).
    for (;;) {
        --n;
        if (Compare(remainder, b) >= 0) {
            break;
        }
        remainder.ShiftLeftBit();
        BringInBit(a, n, remainder);
    }
    ++n;
    for (;;) {
        if (Compare(remainder, b) < 0) {
            if (n == 0) {
                break;
            }
            --n;
            remainder.ShiftLeftBit();
            BringInBit(a, n, remainder);
        } else {
            BigSubtract(remainder, b, remainder);
            quotient.Words[n / 32] |= 1u << (n % 32);
        }
    }
    quotient.Normalize();
}

}  // namespace

void BigDivide(const BigInt& a, const BigInt& b, BigInt& quotient, BigInt& remainder) {
    if (IsZero(b)) {
        platform::RaiseIntegerDivideByZero();
        quotient.SetInt(0);
        remainder.SetInt(0);
        return;
    }
    if (IsZero(a)) {
        quotient.SetInt(0);
        remainder.SetInt(0);
        return;
    }
    if (&quotient == &remainder) {
        BigInt dropped;
        BigDivide(a, b, quotient, dropped);
        return;
    }
    if (&quotient == &a || &quotient == &b) {
        BigInt q;
        BigDivide(a, b, q, remainder);
        q.MoveTo(quotient);
        return;
    }
    if (&remainder == &a || &remainder == &b) {
        BigInt r;
        BigDivide(a, b, quotient, r);
        r.MoveTo(remainder);
        return;
    }
    const bool aNegative = IsNegative(a);
    const bool bNegative = IsNegative(b);
    if (!aNegative && !bNegative) {
        DividePositive(a, b, quotient, remainder);
        return;
    }
    BigInt scratchA, scratchB;
    DividePositive(*Magnitude(a, scratchA), *Magnitude(b, scratchB), quotient, remainder);
    if (aNegative && bNegative) {
        remainder.Negate();
        return;
    }
    // Mixed signs: the quotient is truncated, the remainder takes the divisor's sign.
    quotient.Negate();
    if (IsZero(remainder)) {
        return;
    }
    if (aNegative) {
        BigSubtract(b, remainder, remainder);
    } else {
        BigAdd(remainder, b, remainder);
    }
}

namespace {

// v reduced by *modulus in place; nothing without a modulus.
void ReduceBy(const BigInt* modulus, BigInt& v, BigInt& quotient) {
    if (modulus != nullptr) {
        BigDivide(v, *modulus, quotient, v);
    }
}

// base^exponent by squaring and multiplying, the base and every product reduced by
// *modulus when there is one.
void Power(const BigInt& base, const BigInt& exponent, const BigInt* modulus, BigInt& out) {
    if (IsZero(exponent)) {
        out.SetInt(1);
        return;
    }
    if (IsNegative(exponent)) {
        out.SetInt(0);
        return;
    }
    if (IsZero(base)) {
        out.SetInt(0);
        return;
    }
    if (&out == &base || &out == &exponent || &out == modulus) {
        BigInt power;
        Power(base, exponent, modulus, power);
        power.MoveTo(out);
        return;
    }
    BigInt quotient, square;
    square.Assign(base);
    ReduceBy(modulus, square, quotient);
    out.SetInt(1);
    const uint32_t bits = static_cast<uint32_t>(exponent.BitLength);
    for (uint32_t i = 0; i < bits; ++i) {
        if (exponent.TestBit(i) != 0) {
            BigMultiply(out, square, out);
            ReduceBy(modulus, out, quotient);
        }
        BigMultiply(square, square, square);
        ReduceBy(modulus, square, quotient);
    }
}

}  // namespace

void BigPower(const BigInt& base, const BigInt& exponent, BigInt& out) {
    Power(base, exponent, nullptr, out);
}

void BigPowerMod(const BigInt& base, const BigInt& exponent, const BigInt& modulus, BigInt& out) {
    Power(base, exponent, &modulus, out);
}

// ---------------------------------------------------------------------------
// Word-array entries

namespace {

// Deeper than the arithmetic under powmod ever reaches: its Karatsuba recursion on
// 1024-bit operands uses about 20 KB of stack.
constexpr size_t kScrubBytes = 32 * 1024;

// Overwrites the stack just below the caller's frame, where the temporaries of the
// arithmetic it called have been left. Kept out of line so that its frame lies there.
__attribute__((noinline)) void ScrubStackBelow() {
    unsigned char scratch[kScrubBytes];
    SecureWipe(scratch, sizeof scratch);
}

}  // namespace

bool powmod(uint32_t* result, uint32_t resultWords, const uint32_t* base, uint32_t baseWords,
            const uint32_t* exponent, uint32_t exponentWords, const uint32_t* modulus,
            uint32_t modulusWords) {
    BigInt value, b, e, m;
    b.LoadWords(base, baseWords);
    e.LoadWords(exponent, exponentWords);
    m.LoadWords(modulus, modulusWords);
    bool stored = false;
    if (result != nullptr && base != nullptr && exponent != nullptr && modulus != nullptr) {
        BigPowerMod(b, e, m, value);
        stored = value.StoreWords(result, resultWords);
    }
    // The exponent is the caller's secret and the result may be a shared one; every
    // intermediate power of the base is a step towards either.
    SecureWipe(&e, sizeof e);
    SecureWipe(&value, sizeof value);
    ScrubStackBelow();
    return stored;
}

bool pow2mod(uint32_t* result, uint32_t resultWords, const uint32_t* exponent,
             uint32_t exponentWords, const uint32_t* modulus, uint32_t modulusWords) {
    const uint32_t two[1] = {2};
    return powmod(result, resultWords, two, 1, exponent, exponentWords, modulus, modulusWords);
}

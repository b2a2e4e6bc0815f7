// Fixed-capacity signed big integers: two's-complement words with a cached signed
// bit length, Karatsuba multiplication, bit-serial long division and modular power.
// Every value lives in automatic storage; nothing here touches the heap.
#include "crypto/bigint.h"

#include <cstddef>
#include <cstring>
#include <exception>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

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

// The long division and the sums and differences of the products work in
// machine-word limbs, two words to a limb where the machine has 64-bit registers.
// QUELLIX_BIGINT_WORD_LIMBS asks for one-word limbs anywhere, so that a 64-bit build
// can test the path of 32-bit ones.
#if UINTPTR_MAX > 0xFFFFFFFFu && !defined(QUELLIX_BIGINT_WORD_LIMBS)
using Limb = unsigned long long;  // the type of the x86 subtract-with-borrow intrinsic
#else
using Limb = unsigned int;
#endif
constexpr uint32_t kLimbBits = 8 * sizeof(Limb);

// difference = x - y - borrow; returns the borrow out. On x86 the chain of these
// is one subtract-with-borrow instruction a limb.
inline unsigned char SubtractWithBorrow(unsigned char borrow, Limb x, Limb y, Limb* difference) {
#if defined(__x86_64__) && !defined(QUELLIX_BIGINT_WORD_LIMBS)
    return _subborrow_u64(borrow, x, y, difference);
#elif defined(__x86_64__) || defined(__i386__)
    return _subborrow_u32(borrow, x, y, difference);
#else
    const Limb d = x - y;
    const unsigned char under = x < y;
    *difference = d - borrow;
    return under | (d < borrow);
#endif
}

// sum = x + y + carry; returns the carry out, as one add-with-carry instruction on x86.
inline unsigned char AddWithCarry(unsigned char carry, Limb x, Limb y, Limb* sum) {
#if defined(__x86_64__) && !defined(QUELLIX_BIGINT_WORD_LIMBS)
    return _addcarry_u64(carry, x, y, sum);
#elif defined(__x86_64__) || defined(__i386__)
    return _addcarry_u32(carry, x, y, sum);
#else
    const Limb s = x + y;
    const unsigned char over = s < x;
    *sum = s + carry;
    return over | (*sum < carry);
#endif
}

constexpr uint32_t kWordsPerLimb = sizeof(Limb) / sizeof(uint32_t);

Limb LoadLimb(const uint32_t* words) {
    Limb v;
    std::memcpy(&v, words, sizeof v);
    return v;
}

void StoreLimb(uint32_t* words, Limb v) {
    std::memcpy(words, &v, sizeof v);
}

// out = a + b, or a - b, over n words a limb at a time; returns the carry or the
// borrow out. out may be a.
template <bool kSubtract>
unsigned char CarryRun(const uint32_t* a, const uint32_t* b, uint32_t n, uint32_t* out) {
    unsigned char carry = 0;
    uint32_t i = 0;
    for (; i + kWordsPerLimb <= n; i += kWordsPerLimb) {
        Limb limb;
        carry = kSubtract ? SubtractWithBorrow(carry, LoadLimb(a + i), LoadLimb(b + i), &limb)
                          : AddWithCarry(carry, LoadLimb(a + i), LoadLimb(b + i), &limb);
        StoreLimb(out + i, limb);
    }
    for (; i < n; ++i) {
        const uint64_t t = kSubtract ? static_cast<uint64_t>(a[i]) - b[i] - carry
                                     : static_cast<uint64_t>(a[i]) + b[i] + carry;
        out[i] = static_cast<uint32_t>(t);
        carry = static_cast<unsigned char>(kSubtract ? t >> 63 : t >> 32);
    }
    return carry;
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

// Together at most this many significant words, no step of a product can outgrow the
// capacity: the product and every sum and shifted part of its Karatsuba steps keep
// below 2^(32 * 66 - 1), so they fit 66 words with the carry word of a sum. The
// handshake's products (33 by 33 words) are of this kind.
constexpr uint32_t kFastProductWords = 66;

// The products below work on non-negative values held as bare words: a length counts
// the words up to the highest non-zero one (0 for zero). Their temporaries are sized
// for operands of at most kFastProductWords words together.
constexpr uint32_t kHalfWords = kFastProductWords / 2 + 3;

uint32_t TrimmedLength(const uint32_t* w, uint32_t n) {
    while (n > 0 && w[n - 1] == 0) {
        --n;
    }
    return n;
}

// Significant words of a non-negative value: its length, one more when the top bit
// of its top word is set (the sign bit needs a word of its own then).
uint32_t SignificantOf(const uint32_t* w, uint32_t length) {
    return length == 0 ? 0 : length + (w[length - 1] >> 31);
}

// sum = a + b; returns the length of the sum, which takes up to one word more than the
// longer operand.
uint32_t AddWords(const uint32_t* a, uint32_t la, const uint32_t* b, uint32_t lb, uint32_t* sum) {
    if (la < lb) {
        std::swap(a, b);
        std::swap(la, lb);
    }
    unsigned char carry = CarryRun<false>(a, b, lb, sum);
    for (uint32_t i = lb; i < la; ++i) {
        sum[i] = a[i] + carry;
        carry = carry != 0 && sum[i] == 0;
    }
    sum[la] = carry;
    return la + carry;
}

// a -= b for a >= b; returns the new length of a.
uint32_t SubtractWords(uint32_t* a, uint32_t la, const uint32_t* b, uint32_t lb) {
    unsigned char borrow = CarryRun<true>(a, b, lb, a);
    for (uint32_t i = lb; borrow != 0 && i < la; ++i) {
        borrow = a[i] == 0 ? 1 : 0;
        --a[i];
    }
    return TrimmedLength(a, la);
}

// to += from, where the sum fits the room words of to.
void AddInto(uint32_t* to, uint32_t room, const uint32_t* from, uint32_t lf) {
    unsigned char carry = CarryRun<false>(to, from, lf, to);
    for (uint32_t i = lf; carry != 0 && i < room; ++i) {
        carry = ++to[i] == 0 ? 1 : 0;
    }
}

// The word count BigMultiply leaves on a product of `total` words split with low part
// S (`lowWords` words): the shifted middle and high parts are added first, and then S,
// each sum keeping a carry word.
uint32_t SplitWordCount(const uint32_t* product, uint32_t total, const uint32_t* low,
                        uint32_t lowWords) {
    uint32_t upper[BIGINT_MAX_WORDS];
    CopyWords(upper, product, total);
    SubtractWords(upper, total, low, lowWords);
    const uint32_t highAndMiddle = SignificantOf(upper, TrimmedLength(upper, total));
    const uint32_t lowPart = SignificantOf(low, TrimmedLength(low, lowWords));
    return (highAndMiddle > lowPart ? highAndMiddle : lowPart) + 1;
}

// A product of values below 2^64 in two 64-bit halves.
struct WideProduct {
    uint64_t low;
    uint64_t high;
};

// x * y for x and y below 2^64, split as BigMultiply splits: a one-word multiplier
// loop when either is below 2^32, otherwise Karatsuba at h = 1 (one word each way),
// whose sums of halves take up to 33 bits, so that their product may split again.
WideProduct MultiplySmall(uint64_t x, uint64_t y) {
    if ((x >> 32) == 0 || (y >> 32) == 0) {
        const bool xIsWord = (x >> 32) == 0;
        const uint64_t s = xIsWord ? x : y;
        const uint64_t l = xIsWord ? y : x;
        const uint64_t w0 = (l & 0xFFFFFFFFu) * s;
        const uint64_t w1 = (l >> 32) * s + (w0 >> 32);
        return {(w0 & 0xFFFFFFFFu) | (w1 << 32), w1 >> 32};
    }
    const uint64_t x1 = x >> 32;
    const uint64_t x0 = x & 0xFFFFFFFFu;
    const uint64_t y1 = y >> 32;
    const uint64_t y0 = y & 0xFFFFFFFFu;
    const uint64_t s = x0 * y0;
    const uint64_t p = x1 * y1;
    WideProduct m = MultiplySmall(x1 + x0, y1 + y0);
    // m -= p + s; the difference x1 y0 + x0 y1 is below 2^65.
    m.high -= m.low < p ? 1 : 0;
    m.low -= p;
    m.high -= m.low < s ? 1 : 0;
    m.low -= s;
    // s + m * 2^32 + p * 2^64.
    const uint64_t low = s + (m.low << 32);
    const uint64_t carry = low < s ? 1 : 0;
    return {low, p + (m.low >> 32) + (m.high << 32) + carry};
}

void MultiplySplit(const uint32_t* x, uint32_t lx, const uint32_t* y, uint32_t ly,
                   uint32_t* product, uint32_t* wordCount);

// The last step of a split product, for the product itself rather than one of its
// parts: adds the middle part at word h and returns the word count, for which the
// low part S, about to be overwritten, is kept aside.
__attribute__((noinline)) uint32_t AddMiddleCounting(uint32_t* product, uint32_t total, uint32_t h,
                                                     const uint32_t* middle,
                                                     uint32_t middleLength) {
    uint32_t low[BIGINT_MAX_WORDS];
    CopyWords(low, product, 2 * h);
    AddInto(product + h, total - h, middle, middleLength);
    return SplitWordCount(product, total, low, 2 * h);
}

// product = x * y (lengths lx, ly; all lx + ly words of product written), split as
// BigMultiply splits: Karatsuba while both operands are at least 2^32, a one-word
// multiplier loop below. Operands of up to two words each are multiplied in 64-bit
// registers.
inline void MultiplyWords(const uint32_t* x, uint32_t lx, const uint32_t* y, uint32_t ly,
                          uint32_t* product) {
    if (lx <= 2 && ly <= 2) {
        const uint64_t xv = lx == 0 ? 0 : lx == 1 ? x[0] : x[0] | static_cast<uint64_t>(x[1]) << 32;
        const uint64_t yv = ly == 0 ? 0 : ly == 1 ? y[0] : y[0] | static_cast<uint64_t>(y[1]) << 32;
        const WideProduct w = MultiplySmall(xv, yv);
        const uint32_t words[4] = {static_cast<uint32_t>(w.low), static_cast<uint32_t>(w.low >> 32),
                                   static_cast<uint32_t>(w.high),
                                   static_cast<uint32_t>(w.high >> 32)};
        for (uint32_t i = 0; i < lx + ly; ++i) {
            product[i] = words[i];
        }
        return;
    }
    if (lx <= 1 || ly <= 1) {
        const uint32_t s = lx <= 1 ? (lx == 0 ? 0 : x[0]) : (ly == 0 ? 0 : y[0]);
        const uint32_t* l = lx <= 1 ? y : x;
        const uint32_t n = lx <= 1 ? ly : lx;
        uint64_t carry = 0;
        for (uint32_t i = 0; i < n; ++i) {
            carry += static_cast<uint64_t>(l[i]) * s;
            product[i] = static_cast<uint32_t>(carry);
            carry >>= 32;
        }
        if (lx + ly > n) {
            product[n] = static_cast<uint32_t>(carry);
        }
        return;
    }
    MultiplySplit(x, lx, y, ly, product, nullptr);
}

// The Karatsuba step of MultiplyWords, both operands at least 2^32 and one of them at
// least 2^64. Every intermediate is non-negative, so the parts are added and
// subtracted as bare words in place: S = x0 y0 goes to the low 2h words of the
// product and P = x1 y1 above them, and M = (x1 + x0)(y1 + y0) - P - S is added at
// word h. A squaring squares its halves. With wordCount, the word count BigMultiply
// gives this product is stored there.
void MultiplySplit(const uint32_t* x, uint32_t lx, const uint32_t* y, uint32_t ly,
                   uint32_t* product, uint32_t* wordCount) {
    const bool square = x == y && lx == ly;
    uint32_t nx = SignificantOf(x, lx);
    uint32_t ny = SignificantOf(y, ly);
    if (nx < ny) {
        std::swap(x, y);
        std::swap(lx, ly);
        std::swap(nx, ny);
    }
    const uint32_t h = nx / 2;
    const uint32_t total = lx + ly;
    const uint32_t lx1 = lx - h;
    const uint32_t lx0 = TrimmedLength(x, h);
    uint32_t ly1 = 0;
    uint32_t ly0 = ly;
    if (ny >= h) {
        ly1 = ly > h ? ly - h : 0;
        ly0 = TrimmedLength(y, ly < h ? ly : h);
    }

    MultiplyWords(x, lx0, y, ly0, product);
    for (uint32_t i = lx0 + ly0; i < 2 * h; ++i) {
        product[i] = 0;
    }
    // Where y has no upper half, P is zero: its lx1 + 0 words would reach h - ly words
    // past the end of the product, so it is not formed at all.
    const uint32_t lpUpper = ly1 != 0 ? lx1 + ly1 : 0;
    if (lpUpper != 0) {
        MultiplyWords(x + h, lx1, y + h, ly1, product + 2 * h);
    }
    for (uint32_t i = 2 * h + lpUpper; i < total; ++i) {
        product[i] = 0;
    }

    uint32_t p[kHalfWords], s[kHalfWords], m[2 * kHalfWords];
    const uint32_t lp = AddWords(x + h, lx1, x, lx0, p);
    const uint32_t* sum = p;
    uint32_t ls = lp;
    if (!square) {
        ls = AddWords(y + h, ly1, y, ly0, s);
        sum = s;
    }
    MultiplyWords(p, lp, sum, ls, m);
    uint32_t lm = TrimmedLength(m, lp + ls);
    lm = SubtractWords(m, lm, product + 2 * h, TrimmedLength(product + 2 * h, lpUpper));
    lm = SubtractWords(m, lm, product, TrimmedLength(product, 2 * h));
    if (wordCount != nullptr) {
        *wordCount = AddMiddleCounting(product, total, h, m, lm);
        return;
    }
    AddInto(product + h, total - h, m, lm);
}

// Both operands at least 2^32 and together at most kFastProductWords significant
// words; out is zero and distinct from both.
void KaratsubaMultiplyWords(const BigInt& a, const BigInt& b, BigInt& out) {
    // Positive values: their words up to the one holding the top bit.
    const uint32_t la = static_cast<uint32_t>(a.BitLength - 1) / 32 + 1;
    const uint32_t lb = static_cast<uint32_t>(b.BitLength - 1) / 32 + 1;
    uint32_t wordCount = 0;
    if (la == 2 && lb == 2) {
        MultiplyWords(a.Words, la, b.Words, lb, out.Words);
        // A split at h = 1 with low part a0 b0.
        const uint64_t low = static_cast<uint64_t>(a.Words[0]) * b.Words[0];
        const uint32_t lowWords[2] = {static_cast<uint32_t>(low), static_cast<uint32_t>(low >> 32)};
        wordCount = SplitWordCount(out.Words, 4, lowWords, 2);
    } else {
        MultiplySplit(a.Words, la, b.Words, lb, out.Words, &wordCount);
    }
    for (uint32_t i = la + lb; i < wordCount; ++i) {
        out.Words[i] = 0;
    }
    out.WordCount = wordCount;
    out.Normalize();
}

// Both operands at least 2^32 and together wider than kFastProductWords significant
// words; out is zero and distinct from both. Values this wide can outgrow the
// capacity at any step, so each step runs as the general operations, which end the
// process where a value outgrows it.
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
        if (a.SignificantWords() + b.SignificantWords() <= kFastProductWords) {
            KaratsubaMultiplyWords(a, b, out);
        } else {
            KaratsubaMultiply(a, b, out);
        }
    } else {
        MultiplyByWord(a, b, out);
    }
}

namespace {

// Room for a value of BIGINT_MAX_WORDS words and a spare limb above its top.
constexpr uint32_t kLimbs = BIGINT_MAX_WORDS * 32 / kLimbBits + 2;

uint32_t LimbBits(Limb v) {
    if (v == 0) {
        return 0;
    }
    return sizeof(Limb) == 8 ? 64 - __builtin_clzll(v) : 32 - __builtin_clz(v);
}

// The divisor shifted left by every bit offset within a limb: copy s is b * 2^s in
// `span` limbs (b's limbs and one for the bits shifted out of its top). Made once
// per divisor (a modular power keeps them for all its reductions), they turn each
// subtraction of b * 2^n into one of whole limbs. A span of 0: not made yet.
struct ShiftedDivisor {
    Limb copies[kLimbBits][kLimbs];
    int32_t span = 0;
};

void ShiftDivisor(const BigInt& b, ShiftedDivisor& shifted) {
    const uint32_t bWords = b.SignificantWords() < b.WordCount ? b.SignificantWords() : b.WordCount;
    Limb* base = shifted.copies[0];
    std::memset(base, 0, sizeof shifted.copies[0]);
    std::memcpy(base, b.Words, bWords * sizeof(uint32_t));
    const int32_t span = (b.BitLength - 1) / static_cast<int32_t>(kLimbBits) + 2;
    shifted.span = span;
    for (uint32_t s = 1; s < kLimbBits; ++s) {
        Limb* copy = shifted.copies[s];
        copy[0] = base[0] << s;
        for (int32_t i = 1; i < span; ++i) {
            copy[i] = (base[i] << s) | (base[i - 1] >> (kLimbBits - s));
        }
    }
}

// Whether the limbs at `at` are below the shifted copy, both `span` limbs long.
bool IsBelow(const Limb* at, const Limb* copy, int32_t span) {
    for (int32_t i = span - 1; i >= 0; --i) {
        if (at[i] != copy[i]) {
            return at[i] < copy[i];
        }
    }
    return false;
}

// at -= copy over `span` limbs, for limbs at least the copy.
void SubtractLimbs(Limb* at, const Limb* copy, int32_t span) {
    unsigned char borrow = 0;
    int32_t i = 0;
    // Sixteen limbs (a 1024-bit divisor) as one straight chain: the borrow stays in
    // the carry flag, which a loop must save and restore at every turn.
    for (; i + 16 <= span; i += 16) {
#pragma GCC unroll 16
        for (int32_t j = 0; j < 16; ++j) {
            borrow = SubtractWithBorrow(borrow, at[i + j], copy[i + j], &at[i + j]);
        }
    }
    for (; i + 4 <= span; i += 4) {
        borrow = SubtractWithBorrow(borrow, at[i], copy[i], &at[i]);
        borrow = SubtractWithBorrow(borrow, at[i + 1], copy[i + 1], &at[i + 1]);
        borrow = SubtractWithBorrow(borrow, at[i + 2], copy[i + 2], &at[i + 2]);
        borrow = SubtractWithBorrow(borrow, at[i + 3], copy[i + 3], &at[i + 3]);
    }
    for (; i < span; ++i) {
        borrow = SubtractWithBorrow(borrow, at[i], copy[i], &at[i]);
    }
}

// The long division of positive a by b of more than 32 bits, b <= a, into a zero
// quotient resized to a's significant words and a zero remainder resized to b's:
// bring in the bits of a one at a time from the top, and whenever the remainder
// reaches b subtract b and set that quotient bit.
//
// The dividend's limbs hold the remainder in place: with n bits not brought in
// yet, the remainder is the value's bits from n up and the bits below n are those
// still to come, so bringing a bit in is only lowering n, and subtracting b from
// the remainder is subtracting b * 2^n from the whole. Until the remainder reaches
// b's bit length every comparison is decided by length, so those bits are brought
// in together; at the same length the limbs decide. The remainder ends with the
// word count of the last subtraction: the significant words of the remainder before
// it (a sum of values of opposite signs keeps no carry word).
void LongDivide(const BigInt& dividend, const BigInt& b, BigInt& quotient, BigInt& remainder,
                ShiftedDivisor& shifted) {
    Limb value[kLimbs] = {};
    const uint32_t aWords = static_cast<uint32_t>(dividend.BitLength - 1) / 32 + 1;
    std::memcpy(value, dividend.Words, aWords * sizeof(uint32_t));
    if (shifted.span == 0) {
        ShiftDivisor(b, shifted);
    }
    const int32_t span = shifted.span;
    const int32_t divisorBits = b.BitLength;

    int32_t bits = dividend.BitLength;  // of the whole value
    int32_t n = bits;                   // bits not brought in yet; the last one in is bit n
    uint32_t wordCount = remainder.WordCount;
    for (;;) {
        // Shorter than b: bring bits in until it is as long, when there are enough.
        if (bits < divisorBits) {
            break;
        }
        n = n < bits - divisorBits ? n : bits - divisorBits;
        const Limb* copy = shifted.copies[static_cast<uint32_t>(n) % kLimbBits];
        Limb* at = value + static_cast<uint32_t>(n) / kLimbBits;
        if (IsBelow(at, copy, span)) {
            if (n == 0) {
                break;
            }
            --n;
            copy = shifted.copies[static_cast<uint32_t>(n) % kLimbBits];
            at = value + static_cast<uint32_t>(n) / kLimbBits;
        }
        // The in-place subtraction resizes the remainder to one word above the larger
        // operand, the remainder (b's negation takes no more words than b), and keeps
        // that larger count.
        const uint32_t words = static_cast<uint32_t>(bits - n) / 32 + 1;
        if (words + 1 > BIGINT_MAX_WORDS) {
            platform::RaiseIntegerOverflow();
        }
        SubtractLimbs(at, copy, span);
        // The difference is below b * 2^n, so its top limb is at most the one holding
        // bit n + divisorBits - 1.
        int32_t top = (n + divisorBits - 1) / static_cast<int32_t>(kLimbBits);
        while (top >= 0 && value[top] == 0) {
            --top;
        }
        bits = top < 0 ? 0
                       : top * static_cast<int32_t>(kLimbBits) +
                             static_cast<int32_t>(LimbBits(value[top]));
        wordCount = words;
        const uint32_t bit = static_cast<uint32_t>(n);
        quotient.Words[bit / 32] |= 1u << (bit % 32);
    }
    std::memcpy(remainder.Words, value, wordCount * sizeof(uint32_t));
    remainder.WordCount = wordCount;
    remainder.BitLength = bits;
}

// A division of its own; out of line, so that its copies of the divisor take no
// stack where the caller keeps them.
__attribute__((noinline)) void LongDivideAlone(const BigInt& dividend, const BigInt& b,
                                               BigInt& quotient, BigInt& remainder) {
    ShiftedDivisor shifted;
    LongDivide(dividend, b, quotient, remainder, shifted);
}

// a and b positive; quotient and remainder distinct from them and from each other.
// shifted: b's shifted copies, kept by the caller, or null.
void DividePositive(const BigInt& a, const BigInt& b, BigInt& quotient, BigInt& remainder,
                    ShiftedDivisor* shifted) {
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
    if (shifted != nullptr) {
        LongDivide(a, b, quotient, remainder, *shifted);
    } else {
        LongDivideAlone(a, b, quotient, remainder);
    }
    quotient.Normalize();
}

}  // namespace

namespace {

// BigDivide; shifted as for DividePositive: the copies of |b|.
void Divide(const BigInt& a, const BigInt& b, BigInt& quotient, BigInt& remainder,
            ShiftedDivisor* shifted) {
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
        Divide(a, b, quotient, dropped, shifted);
        return;
    }
    if (&quotient == &a || &quotient == &b) {
        BigInt q;
        Divide(a, b, q, remainder, shifted);
        q.MoveTo(quotient);
        return;
    }
    if (&remainder == &a || &remainder == &b) {
        BigInt r;
        Divide(a, b, quotient, r, shifted);
        r.MoveTo(remainder);
        return;
    }
    const bool aNegative = IsNegative(a);
    const bool bNegative = IsNegative(b);
    if (!aNegative && !bNegative) {
        DividePositive(a, b, quotient, remainder, shifted);
        return;
    }
    BigInt scratchA, scratchB;
    DividePositive(*Magnitude(a, scratchA), *Magnitude(b, scratchB), quotient, remainder, shifted);
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

}  // namespace

void BigDivide(const BigInt& a, const BigInt& b, BigInt& quotient, BigInt& remainder) {
    Divide(a, b, quotient, remainder, nullptr);
}

namespace {

// v reduced by *modulus in place; nothing without a modulus.
void ReduceBy(const BigInt* modulus, BigInt& v, BigInt& quotient, ShiftedDivisor& shifted) {
    if (modulus != nullptr) {
        Divide(v, *modulus, quotient, v, &shifted);
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
    ShiftedDivisor shifted;
    square.Assign(base);
    ReduceBy(modulus, square, quotient, shifted);
    out.SetInt(1);
    const uint32_t bits = static_cast<uint32_t>(exponent.BitLength);
    for (uint32_t i = 0; i < bits; ++i) {
        if (exponent.TestBit(i) != 0) {
            BigMultiply(out, square, out);
            ReduceBy(modulus, out, quotient, shifted);
        }
        BigMultiply(square, square, square);
        ReduceBy(modulus, square, quotient, shifted);
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

// Deeper than the arithmetic under powmod ever reaches: a modular power with a
// 1024-bit modulus uses about 27 KB of stack, 18 KB of it the divisor's shifted
// copies.
constexpr size_t kScrubBytes = 48 * 1024;

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

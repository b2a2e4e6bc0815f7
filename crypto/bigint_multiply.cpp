// Multiplication of signed big integers: Karatsuba while both operands are at least
// 2^32, a one-word multiplier loop below. Products that fit the capacity at every
// step run on bare words; wider ones run as the general operations.
#include "crypto/bigint.h"

#include <cstring>
#include <utility>

#include "crypto/bigint_internal.h"

using bigint_internal::AddWithCarry;
using bigint_internal::CopyWords;
using bigint_internal::IsNegative;
using bigint_internal::IsZero;
using bigint_internal::kTopBit;
using bigint_internal::Limb;
using bigint_internal::Magnitude;
using bigint_internal::SubtractWithBorrow;

namespace {

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
        const uint64_t word = xIsWord ? x : y;
        const uint64_t other = xIsWord ? y : x;
        const uint64_t w0 = (other & 0xFFFFFFFFu) * word;
        const uint64_t w1 = (other >> 32) * word + (w0 >> 32);
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
        // Word by word from the registers: a copy through an array on the stack waits
        // for the array's store to reach the loads.
        const uint32_t count = lx + ly;
        if (count > 0) {
            product[0] = static_cast<uint32_t>(w.low);
        }
        if (count > 1) {
            product[1] = static_cast<uint32_t>(w.low >> 32);
        }
        if (count > 2) {
            product[2] = static_cast<uint32_t>(w.high);
        }
        if (count > 3) {
            product[3] = static_cast<uint32_t>(w.high >> 32);
        }
        return;
    }
    if (lx <= 1 || ly <= 1) {
        const uint32_t word = lx <= 1 ? (lx == 0 ? 0 : x[0]) : (ly == 0 ? 0 : y[0]);
        const uint32_t* other = lx <= 1 ? y : x;
        const uint32_t lother = lx <= 1 ? ly : lx;
        uint64_t carry = 0;
        for (uint32_t i = 0; i < lother; ++i) {
            carry += static_cast<uint64_t>(other[i]) * word;
            product[i] = static_cast<uint32_t>(carry);
            carry >>= 32;
        }
        if (lx + ly > lother) {
            product[lother] = static_cast<uint32_t>(carry);
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

    // The sums of the halves, x1 + x0 and y1 + y0 (for a square, the one sum twice).
    uint32_t xSum[kHalfWords], ySum[kHalfWords], middle[2 * kHalfWords];
    const uint32_t lxSum = AddWords(x + h, lx1, x, lx0, xSum);
    const uint32_t* factor = xSum;
    uint32_t lfactor = lxSum;
    if (!square) {
        lfactor = AddWords(y + h, ly1, y, ly0, ySum);
        factor = ySum;
    }
    MultiplyWords(xSum, lxSum, factor, lfactor, middle);
    uint32_t lmiddle = TrimmedLength(middle, lxSum + lfactor);
    lmiddle =
        SubtractWords(middle, lmiddle, product + 2 * h, TrimmedLength(product + 2 * h, lpUpper));
    lmiddle = SubtractWords(middle, lmiddle, product, TrimmedLength(product, 2 * h));
    if (wordCount != nullptr) {
        *wordCount = AddMiddleCounting(product, total, h, middle, lmiddle);
        return;
    }
    AddInto(product + h, total - h, middle, lmiddle);
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

    // high and low first hold the sums of the halves, whose product is the first term
    // of the middle part, and then the products of the high and of the low halves.
    BigInt high, low, middle;
    BigAdd(x1, x0, high);
    BigAdd(y1, y0, low);
    BigMultiply(high, low, middle);
    BigMultiply(x1, y1, high);
    BigMultiply(x0, y0, low);
    BigSubtract(middle, high, middle);
    BigSubtract(middle, low, middle);
    middle.ShiftLeftWords(h);
    high.ShiftLeftWords(2 * h);
    BigAdd(high, middle, out);
    BigAdd(out, low, out);
}

// One operand below 2^32; out is zero and distinct from both.
void MultiplyByWord(const BigInt& a, const BigInt& b, BigInt& out) {
    const bool aIsWord = a.BitLength <= 32;
    const uint32_t word = aIsWord ? a.Words[0] : b.Words[0];
    const BigInt& other = aIsWord ? b : a;
    const uint32_t n = other.SignificantWords();
    out.Resize(n + 1);
    uint64_t carry = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t term = static_cast<uint64_t>(other.Words[i]) * word + carry;
        out.Words[i] = static_cast<uint32_t>(term);
        carry = term >> 32;
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

// Fixed-capacity signed big integers: two's-complement words with a cached signed
// bit length. This file holds the operations of a value and the comparison; the sum,
// product, quotient and powers each have a file of their own (crypto/bigint_*.cpp),
// and every value lives in automatic storage: nothing here touches the heap.
#include "crypto/bigint.h"

#include <cstring>
#include <exception>

#include "crypto/bigint_internal.h"
#include "platform/platform.h"

using bigint_internal::CopyWords;
using bigint_internal::IsNegative;
using bigint_internal::IsZero;
using bigint_internal::kAllOnes;
using bigint_internal::kTopBit;
using bigint_internal::LeadingZeros;
using bigint_internal::SignificantWordsOf;
using bigint_internal::SignWordOf;
using bigint_internal::WordBits;

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

namespace bigint_internal {

const BigInt* Magnitude(const BigInt& v, BigInt& scratch) {
    if (!IsNegative(v)) {
        return &v;
    }
    scratch.Assign(v);
    scratch.Negate();
    return &scratch;
}

}  // namespace bigint_internal

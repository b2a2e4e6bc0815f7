// Fixed-capacity signed big integers (67 words, no heap) with modular power.
#pragma once

#include <cstdint>

// Word-array entries used by the handshake. Arrays hold 32-bit words, least
// significant first; the top bit of the last word is the sign. Both return false,
// writing nothing, when a pointer is null or the result's word count exceeds
// resultWords.
bool powmod(uint32_t* result, uint32_t resultWords, const uint32_t* base, uint32_t baseWords,
            const uint32_t* exponent, uint32_t exponentWords, const uint32_t* modulus,
            uint32_t modulusWords);
bool pow2mod(uint32_t* result, uint32_t resultWords, const uint32_t* exponent,
             uint32_t exponentWords, const uint32_t* modulus, uint32_t modulusWords);

// Little-endian fields of driver messages, tables, packets and device frames,
// read and written byte by byte so the layout does not depend on the host's byte
// order or on alignment. Used from the platform layer up.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint32_t LoadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void StoreLe32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

inline uint16_t LoadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline void StoreLe16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

// count words as 4 * count bytes, each word little-endian: how the handshake's
// numbers and keys travel.
inline void WordsToBytes(const uint32_t* words, size_t count, uint8_t* bytes) {
    for (size_t i = 0; i < count; ++i) {
        StoreLe32(bytes + 4 * i, words[i]);
    }
}

inline void BytesToWords(const uint8_t* bytes, size_t count, uint32_t* words) {
    for (size_t i = 0; i < count; ++i) {
        words[i] = LoadLe32(bytes + 4 * i);
    }
}

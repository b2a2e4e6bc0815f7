// Byte strings built from and read as little-endian 32-bit words, as the client's
// messages and the device contract's frames carry them, and the plain reply capsule
// a driver sends; shared by the driver-client, app, platform and end-to-end tests.
// Written apart from the product's own helpers, so that a fault there shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

inline uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

inline void AppendLe32(Bytes* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out->push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

// Little-endian 32-bit words, then any bytes.
inline Bytes U32s(std::initializer_list<uint32_t> words, Bytes tail = {}) {
    Bytes b;
    for (uint32_t v : words) {
        AppendLe32(&b, v);
    }
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

// A plain reply capsule around payload, as the driver lays it out: PayloadLength
// (payloadLength), CapsuleSize (16 + the payload rounded up to 8), SessionId 0,
// the payload, zeros.
inline Bytes ReplyCapsule(const Bytes& payload, uint32_t payloadLength) {
    const uint32_t n = static_cast<uint32_t>(payload.size());
    const uint32_t size = 16 + 8 * ((n + 7) / 8);
    Bytes capsule = U32s({payloadLength, size, 0}, payload);
    capsule.resize(size, 0);
    return capsule;
}

inline Bytes ReplyCapsule(const Bytes& payload) {
    return ReplyCapsule(payload, static_cast<uint32_t>(payload.size()));
}

}  // namespace testsupport

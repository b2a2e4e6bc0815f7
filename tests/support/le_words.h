// Byte strings built from little-endian 32-bit words, as the client's messages and
// the device contract's frames carry them; shared by the driver-client and platform
// tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// Little-endian 32-bit words, then any bytes.
inline Bytes U32s(std::initializer_list<uint32_t> words, Bytes tail = {}) {
    Bytes b;
    for (uint32_t v : words) {
        for (int i = 0; i < 4; ++i) {
            b.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
    }
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

}  // namespace testsupport

// The parts of the oracle that need no arithmetic library.
#include "tests/session/oracle.h"

#include <cstring>

namespace oracle {

const uint8_t kKa[16] = {0xe4, 0xd9, 0x4e, 0x07, 0x32, 0x75, 0x53, 0x10,
                         0x27, 0x58, 0x05, 0xb6, 0x0e, 0x4b, 0xa4, 0x94};

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = uint8_t(v >> (8 * i));
    }
}

Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

void Generator::Seed(int64_t counter, const platform::SystemTime& time) {
    Bytes seed(24);
    const uint64_t c = uint64_t(counter);
    PutLe32(seed.data(), uint32_t(c));
    PutLe32(seed.data() + 4, uint32_t(c >> 32));
    const uint16_t fields[8] = {time.wYear, time.wMonth,  time.wDayOfWeek, time.wDay,
                                time.wHour, time.wMinute, time.wSecond,    time.wMilliseconds};
    for (int i = 0; i < 8; ++i) {
        seed[8 + 2 * i] = uint8_t(fields[i]);
        seed[9 + 2 * i] = uint8_t(fields[i] >> 8);
    }
    const Bytes digest = Sha1(seed);
    std::memcpy(pool, digest.data(), 20);
    index = 0;
}

uint32_t Generator::Get() {
    if (index + 4 > 19) {
        index = 0;
    }
    const uint32_t value = Le32(pool + index);
    Bytes refresh(pool + 2, pool + 18);
    refresh.resize(20);
    PutLe32(refresh.data() + 16, index);
    const Bytes digest = Sha1(refresh);
    std::memcpy(pool, digest.data(), 20);
    index = (index + 4) % 20;
    return value;
}

Draws DrawsFor(int64_t counter, const platform::SystemTime& time) {
    Generator generator;
    generator.Seed(counter, time);
    Draws draws;
    for (uint32_t& word : draws.x) {
        word = generator.Get();
    }
    for (int i = 0; i < 5; ++i) {
        PutLe32(draws.nonce + 4 * i, generator.Get());
    }
    for (int i = 0; i < 4; ++i) {
        PutLe32(draws.ks + 4 * i, generator.Get());
    }
    return draws;
}

Bytes Number(uint32_t small) {
    Bytes out(132, 0);
    PutLe32(out.data(), small);
    return out;
}

Bytes PrimePlus(int delta) {
    Bytes out = Prime();
    // Byte by byte with carry or borrow; p is far from 0 and from 2^1056.
    int carry = delta;
    for (size_t i = 0; i < out.size() && carry != 0; ++i) {
        const int sum = out[i] + carry;
        out[i] = uint8_t(sum & 0xFF);
        carry = (sum - (sum & 0xFF)) / 256;
    }
    return out;
}

Bytes Exponent(const uint32_t x[3]) {
    Bytes out(132, 0);
    for (int i = 0; i < 3; ++i) {
        PutLe32(out.data() + 4 * i, x[i]);
    }
    return out;
}

void SystemKeyWords(const uint8_t* bytes, size_t length, uint32_t words[18]) {
    if (length > 16) {
        length = 16;
    }
    size_t j = 0;
    for (int i = 0; i < 18; ++i) {
        uint32_t word = 0;
        for (int b = 0; b < 4; ++b) {
            word = (word << 8) | uint32_t(int32_t(int8_t(bytes[j])));
            j = (j + 1) % length;
        }
        words[i] = word;
    }
}

}  // namespace oracle

#include "crypto/wipe.h"

void SecureWipe(void* p, size_t size) {
    if (p == nullptr) {
        return;
    }
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(p);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = 0;
    }
}

bool ConstantTimeEqual(const void* a, const void* b, size_t size) {
    const unsigned char* left = static_cast<const unsigned char*>(a);
    const unsigned char* right = static_cast<const unsigned char*>(b);
    unsigned char difference = 0;
    for (size_t i = 0; i < size; ++i) {
        difference |= static_cast<unsigned char>(left[i] ^ right[i]);
    }
    return difference == 0;
}

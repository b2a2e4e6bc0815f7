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

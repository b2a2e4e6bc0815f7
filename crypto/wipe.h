// Handling secrets: overwriting them before their storage is released, and
// comparing them without giving away where they differ.
#pragma once

#include <cstddef>

// Sets size bytes at p to zero through volatile writes, so the compiler cannot
// drop the stores as dead. Null is ignored.
void SecureWipe(void* p, size_t size);

// Whether the size bytes at a and b are equal, in a time that depends on size
// only: every byte is looked at whatever came before.
bool ConstantTimeEqual(const void* a, const void* b, size_t size);

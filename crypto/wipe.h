// Overwriting secrets before their storage is released.
#pragma once

#include <cstddef>

// Sets size bytes at p to zero through volatile writes, so the compiler cannot
// drop the stores as dead. Null is ignored.
void SecureWipe(void* p, size_t size);

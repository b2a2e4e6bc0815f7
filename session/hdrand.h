// The hdrand generator: a 20-byte SHA-1 pool seeded from the UTC time and the
// performance counter, re-hashed after every value handed out. Process-wide state,
// not thread-safe.
#pragma once

#include <cstdint>

// Seeds the pool from the platform's clock readings. Always true.
bool hdrand_init();
// The self-test. Always 1; callers treat -1 as a failed test.
int hdrand_test();
// The next value. Needs a prior hdrand_init.
uint32_t hdrand_get();

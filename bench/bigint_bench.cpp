// The handshake's two modular powers (1024-bit group prime, 96-bit exponent) against
// GMP's mpz_powm on the same operands, plus the two steps every modular product is
// made of: a 1024 x 1024-bit multiplication and the reduction of its 2048-bit result.
#include <benchmark/benchmark.h>
#include <gmp.h>

#include <cstdint>
#include <random>
#include <vector>

#include "crypto/bigint.h"

namespace {

struct Operands {
    std::vector<uint32_t> exponent;  // 4 words, 96 bits, top word 0
    std::vector<uint32_t> base;      // 33 words below the prime, top word 0
    Operands() : exponent(4, 0), base(33, 0) {
        std::mt19937 rng(2409);
        for (int i = 0; i < 3; ++i) {
            exponent[i] = static_cast<uint32_t>(rng());
        }
        exponent[2] |= 0x80000000u;
        for (int i = 0; i < 32; ++i) {
            base[i] = static_cast<uint32_t>(rng());
        }
        base[31] &= 0x7FFFFFFFu;
    }
};

const Operands& Shared() {
    static const Operands operands;
    return operands;
}

class GmpOperands {
  public:
    GmpOperands() {
        mpz_inits(p, x, y, two, r, nullptr);
        mpz_import(p, 33, -1, sizeof(uint32_t), 0, 0, kOakleyGroup2Prime);
        mpz_import(x, 4, -1, sizeof(uint32_t), 0, 0, Shared().exponent.data());
        mpz_import(y, 33, -1, sizeof(uint32_t), 0, 0, Shared().base.data());
        mpz_set_ui(two, 2);
    }
    ~GmpOperands() { mpz_clears(p, x, y, two, r, nullptr); }
    mpz_t p, x, y, two, r;
};

void BM_Pow2Mod(benchmark::State& state) {
    const Operands& o = Shared();
    uint32_t result[33];
    for (auto _ : state) {
        const bool ok = pow2mod(result, 33, o.exponent.data(), 4, kOakleyGroup2Prime, 33);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_Pow2Mod)->Unit(benchmark::kMicrosecond);

void BM_Pow2Mod_GmpPowm(benchmark::State& state) {
    GmpOperands g;
    for (auto _ : state) {
        mpz_powm(g.r, g.two, g.x, g.p);
        benchmark::DoNotOptimize(g.r);
    }
}
BENCHMARK(BM_Pow2Mod_GmpPowm)->Unit(benchmark::kMicrosecond);

void BM_PowMod(benchmark::State& state) {
    const Operands& o = Shared();
    uint32_t result[33];
    for (auto _ : state) {
        const bool ok =
            powmod(result, 33, o.base.data(), 33, o.exponent.data(), 4, kOakleyGroup2Prime, 33);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_PowMod)->Unit(benchmark::kMicrosecond);

void BM_PowMod_GmpPowm(benchmark::State& state) {
    GmpOperands g;
    for (auto _ : state) {
        mpz_powm(g.r, g.y, g.x, g.p);
        benchmark::DoNotOptimize(g.r);
    }
}
BENCHMARK(BM_PowMod_GmpPowm)->Unit(benchmark::kMicrosecond);

// One modular product of the power, split into its two halves.
void BM_Multiply1024(benchmark::State& state) {
    BigInt y, product;
    y.LoadWords(Shared().base.data(), 33);
    for (auto _ : state) {
        BigMultiply(y, y, product);
        benchmark::DoNotOptimize(product);
    }
}
BENCHMARK(BM_Multiply1024)->Unit(benchmark::kMicrosecond);

void BM_Multiply1024_GmpMul(benchmark::State& state) {
    GmpOperands g;
    for (auto _ : state) {
        mpz_mul(g.r, g.y, g.y);
        benchmark::DoNotOptimize(g.r);
    }
}
BENCHMARK(BM_Multiply1024_GmpMul)->Unit(benchmark::kMicrosecond);

void BM_Reduce2048(benchmark::State& state) {
    BigInt y, p, product, quotient, remainder;
    y.LoadWords(Shared().base.data(), 33);
    p.LoadWords(kOakleyGroup2Prime, 33);
    BigMultiply(y, y, product);
    for (auto _ : state) {
        BigDivide(product, p, quotient, remainder);
        benchmark::DoNotOptimize(remainder);
    }
}
BENCHMARK(BM_Reduce2048)->Unit(benchmark::kMicrosecond);

void BM_Reduce2048_GmpTdivR(benchmark::State& state) {
    GmpOperands g;
    mpz_t product;
    mpz_init(product);
    mpz_mul(product, g.y, g.y);
    for (auto _ : state) {
        mpz_tdiv_r(g.r, product, g.p);
        benchmark::DoNotOptimize(g.r);
    }
    mpz_clear(product);
}
BENCHMARK(BM_Reduce2048_GmpTdivR)->Unit(benchmark::kMicrosecond);

}  // namespace

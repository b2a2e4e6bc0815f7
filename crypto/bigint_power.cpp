// Powers of signed big integers by squaring and multiplying, with or without a
// modulus. A modular power reduces after every product and keeps the modulus's
// shifted copies for all its reductions.
#include "crypto/bigint.h"

#include "crypto/bigint_internal.h"

using bigint_internal::Divide;
using bigint_internal::IsNegative;
using bigint_internal::IsZero;
using bigint_internal::ShiftedDivisor;

namespace {

// v reduced by *modulus in place; nothing without a modulus.
void ReduceBy(const BigInt* modulus, BigInt& v, BigInt& quotient, ShiftedDivisor& shifted) {
    if (modulus != nullptr) {
        Divide(v, *modulus, quotient, v, &shifted);
    }
}

// base^exponent by squaring and multiplying, the base and every product reduced by
// *modulus when there is one.
void Power(const BigInt& base, const BigInt& exponent, const BigInt* modulus, BigInt& out) {
    if (IsZero(exponent)) {
        out.SetInt(1);
        return;
    }
    if (IsNegative(exponent)) {
        out.SetInt(0);
        return;
    }
    if (IsZero(base)) {
        out.SetInt(0);
        return;
    }
    if (&out == &base || &out == &exponent || &out == modulus) {
        BigInt power;
        Power(base, exponent, modulus, power);
        power.MoveTo(out);
        return;
    }
    BigInt quotient, square;
    ShiftedDivisor shifted;
    square.Assign(base);
    ReduceBy(modulus, square, quotient, shifted);
    out.SetInt(1);
    const uint32_t bits = static_cast<uint32_t>(exponent.BitLength);
    for (uint32_t i = 0; i < bits; ++i) {
        if (exponent.TestBit(i) != 0) {
            BigMultiply(out, square, out);
            ReduceBy(modulus, out, quotient, shifted);
        }
        BigMultiply(square, square, square);
        ReduceBy(modulus, square, quotient, shifted);
    }
}

}  // namespace

void BigPower(const BigInt& base, const BigInt& exponent, BigInt& out) {
    Power(base, exponent, nullptr, out);
}

void BigPowerMod(const BigInt& base, const BigInt& exponent, const BigInt& modulus, BigInt& out) {
    Power(base, exponent, &modulus, out);
}

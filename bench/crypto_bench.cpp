// SHA-1 and Blowfish throughput, each next to OpenSSL's on the same input.
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/blowfish.h>
#include <openssl/sha.h>

#include "crypto/blowfish.h"
#include "crypto/sha1.h"

namespace {

std::vector<uint8_t> Message(size_t size) {
    std::vector<uint8_t> message(size);
    for (size_t i = 0; i < size; ++i) {
        message[i] = static_cast<uint8_t>(i * 131 + 7);
    }
    return message;
}

void BM_Sha1(benchmark::State& state) {
    const std::vector<uint8_t> message = Message(static_cast<size_t>(state.range(0)));
    uint8_t digest[SHA1_DIGEST_SIZE];
    Sha1Context ctx;
    for (auto _ : state) {
        Sha1Initialize(&ctx);
        Sha1Update(&ctx, message.data(), static_cast<uint32_t>(message.size()));
        Sha1Final(&ctx);
        Sha1GetDigest(&ctx, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Sha1)->Arg(64)->Arg(1024)->Arg(16384);

// The portable rounds, as on a processor without SHA instructions.
void BM_Sha1_Portable(benchmark::State& state) {
    Sha1SetAccelerated(false);
    BM_Sha1(state);
    Sha1SetAccelerated(true);
}
BENCHMARK(BM_Sha1_Portable)->Arg(64)->Arg(1024)->Arg(16384);

void BM_Sha1_OpenSSL(benchmark::State& state) {
    const std::vector<uint8_t> message = Message(static_cast<size_t>(state.range(0)));
    uint8_t digest[SHA_DIGEST_LENGTH];
    for (auto _ : state) {
        SHA1(message.data(), message.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Sha1_OpenSSL)->Arg(64)->Arg(1024)->Arg(16384);

const uint8_t kKey[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                          0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
constexpr int kBlocksPerIteration = 1024;

// Chained blocks, so each encipherment waits for the one before: the latency a
// capsule enciphered block by block sees.
void BM_BlowfishEncipher(benchmark::State& state) {
    BlowfishContext ctx;
    BlowfishInitialize(&ctx, kKey, sizeof kKey);
    uint32_t left = 1, right = 2;
    for (auto _ : state) {
        for (int i = 0; i < kBlocksPerIteration; ++i) {
            BlowfishEncipher(&ctx, &left, &right);
        }
        benchmark::DoNotOptimize(left);
        benchmark::DoNotOptimize(right);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlocksPerIteration * 8);
}
BENCHMARK(BM_BlowfishEncipher);

void BM_BlowfishEncipher_OpenSSL(benchmark::State& state) {
    BF_KEY key;
    BF_set_key(&key, sizeof kKey, kKey);
    BF_LONG block[2] = {1, 2};
    for (auto _ : state) {
        for (int i = 0; i < kBlocksPerIteration; ++i) {
            BF_encrypt(block, &key);
        }
        benchmark::DoNotOptimize(block);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlocksPerIteration * 8);
}
BENCHMARK(BM_BlowfishEncipher_OpenSSL);

void BM_BlowfishDecipher(benchmark::State& state) {
    BlowfishContext ctx;
    BlowfishInitialize(&ctx, kKey, sizeof kKey);
    uint32_t left = 1, right = 2;
    for (auto _ : state) {
        for (int i = 0; i < kBlocksPerIteration; ++i) {
            BlowfishDecipher(&ctx, &left, &right);
        }
        benchmark::DoNotOptimize(left);
        benchmark::DoNotOptimize(right);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlocksPerIteration * 8);
}
BENCHMARK(BM_BlowfishDecipher);

void BM_BlowfishDecipher_OpenSSL(benchmark::State& state) {
    BF_KEY key;
    BF_set_key(&key, sizeof kKey, kKey);
    BF_LONG block[2] = {1, 2};
    for (auto _ : state) {
        for (int i = 0; i < kBlocksPerIteration; ++i) {
            BF_decrypt(block, &key);
        }
        benchmark::DoNotOptimize(block);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlocksPerIteration * 8);
}
BENCHMARK(BM_BlowfishDecipher_OpenSSL);

// Keying: 521 encipherments; the handshake keys a context a few times per run.
void BM_BlowfishInitialize(benchmark::State& state) {
    BlowfishContext ctx;
    for (auto _ : state) {
        BlowfishInitialize(&ctx, kKey, sizeof kKey);
        benchmark::DoNotOptimize(ctx.P[0]);
    }
}
BENCHMARK(BM_BlowfishInitialize);

void BM_BlowfishInitialize_OpenSSL(benchmark::State& state) {
    BF_KEY key;
    for (auto _ : state) {
        BF_set_key(&key, sizeof kKey, kKey);
        benchmark::DoNotOptimize(key.P[0]);
    }
}
BENCHMARK(BM_BlowfishInitialize_OpenSSL);

}  // namespace

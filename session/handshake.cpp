// The session handshake over the misc driver's device handle (see handshake.h).

#include "session/handshake.h"

#include <cstring>

#include "crypto/bigint.h"
#include "crypto/wipe.h"
#include "common/le_bytes.h"
#include "session/hdrand.h"

namespace session {

namespace {

constexpr uint32_t kWorkingBufferSize = 2 * kNumberBytes;  // 264
constexpr int kSelfTestAttempts = 16;

// The key material block: Ka is the 16 bytes at offsets 23 to 38; the rest is
// filler, so the key never sits in the program as one aligned run of bytes.
constexpr uint32_t kKeyMaterialWords = kKeyMaterialBytes / 4;
constexpr uint32_t kKaOffset = 23;

void BuildKeyMaterial(uint8_t block[kKeyMaterialBytes]) {
    static const uint32_t kMaterial[kKeyMaterialWords] = {
        0x60E669C6, 0xDC8B12B9, 0x270D3FF0, 0x2D626580, 0x3BE3D52A, 0xE4DC8A28, 0x32074ED9,
        0x27105375, 0x0EB60558, 0x4B94A44B, 0xB7D5D721, 0x22B84F67, 0x2F66772B, 0x9AFDC7CB,
        0xDEE72DE1, 0x6CEAE0F8, 0xED2DC71D, 0x47C60605, 0x744164EB, 0xF69D62B0, 0xE25115AA,
        0x796FAE5B, 0xA04CC26F, 0xD7F0D761, 0x8AD06338, 0x1806098A, 0xE9E122C1, 0xE4908F61,
        0xC671CA9C, 0xCE0FEE30, 0x1CD27446, 0xA80C39A4,
    };
    for (uint32_t i = 0; i < kKeyMaterialWords; ++i) {
        StoreLe32(block + 4 * i, kMaterial[i]);
    }
}

}  // namespace

// 1 < value < p - 1, both read as unsigned 33-word numbers: a value with the sign
// bit of its top word set is above p as well. 0, 1 and p - 1 would fix the shared
// secret to a value an attacker knows; p and above are not group elements.
bool PublicValueInRange(const uint32_t* value) {
    bool aboveOne = false;
    for (uint32_t i = 1; i < kNumberWords; ++i) {
        aboveOne = aboveOne || value[i] != 0;
    }
    aboveOne = aboveOne || value[0] > 1;
    // p - 1 differs from p only in its low word, which is 0xFFFFFFFF in p.
    int order = 0;
    for (uint32_t i = kNumberWords; i-- > 0 && order == 0;) {
        const uint32_t limit = i == 0 ? kOakleyGroup2Prime[0] - 1 : kOakleyGroup2Prime[i];
        if (value[i] != limit) {
            order = value[i] < limit ? -1 : 1;
        }
    }
    return aboveOne && order < 0;
}

namespace {

using Outcome = HandshakeOutcome;
// What a step returns when it has done its part and the next one may run.
constexpr Outcome kStepDone = Outcome::kKeyed;

// One handshake message; true when the request succeeded and exactly replySize
// bytes came back. The last-error value after the request is kept either way.
bool Exchange(platform::DeviceHandle device, const uint8_t* request, uint32_t requestSize,
              uint8_t* reply, uint32_t replySize, HandshakeState* state) {
    uint32_t returned = 0;
    const bool ok = platform::DeviceControl(device, IOCTL_MISC_SESSION, request, requestSize, reply,
                                            replySize, &returned);
    state->savedError = platform::GetLastErrorValue();
    return ok && returned == replySize;
}

// Steps 2 and 3: the generator seeded and its self test passed.
Outcome StartGenerator(platform::DeviceHandle, HandshakeState*) {
    if (!hdrand_init()) {
        return Outcome::kInitFailed;
    }
    for (int attempt = 0; attempt < kSelfTestAttempts; ++attempt) {
        if (hdrand_test() != -1) {
            return kStepDone;
        }
    }
    return Outcome::kSelfTestFailed;
}

// Phase 1: x and the client nonce drawn, Yc = 2^x mod p sent in Ini1; the reply
// brings the SID, Yd and the driver's nonce.
Outcome SendIni1(platform::DeviceHandle device, HandshakeState* state) {
    HandshakeWork* work = &state->work;
    // Draws 1-3: x (96 random bits; word 3 stays 0). Draws 4-8: the client nonce.
    for (uint32_t i = 0; i < 3; ++i) {
        work->x[i] = hdrand_get();
    }
    work->x[3] = 0;
    for (uint32_t i = 0; i < 5; ++i) {
        StoreLe32(work->ini1Request + kIni1NonceAt + 4 * i, hdrand_get());
    }
    if (!pow2mod(work->yc, kNumberWords, work->x, kExponentWords, kOakleyGroup2Prime,
                 kNumberWords)) {
        return Outcome::kPow2ModFailed;
    }
    WordsToBytes(work->yc, kNumberWords, work->ini1Request + kIni1NumberAt);
    StoreLe32(work->ini1Request, kTagIni1);
    if (!Exchange(device, work->ini1Request, kIni1Size, work->ini1Reply, kIni1Size, state)) {
        return Outcome::kIni1Failed;
    }
    state->sid = LoadLe32(work->ini1Reply);
    state->haveSid = true;
    BytesToWords(work->ini1Reply + kIni1NumberAt, kNumberWords, work->yd);
    return kStepDone;
}

// Km = HMAC(Ka, Nc || Nd), then the proofs Pd = HMAC(Km, Yd || Yc) and
// Pc = HMAC(Km, Yc || Yd), all in one heap buffer that is cleared before each
// refill and wiped before release.
Outcome ComputeProofs(HandshakeState* state) {
    HandshakeWork* work = &state->work;
    uint8_t* macInput = static_cast<uint8_t*>(platform::HeapAllocZeroed(kWorkingBufferSize));
    if (macInput == nullptr) {
        state->savedError = platform::GetLastErrorValue();
        return Outcome::kPhase2Alloc;
    }
    const uint8_t* ycBytes = work->ini1Request + kIni1NumberAt;
    const uint8_t* ydBytes = work->ini1Reply + kIni1NumberAt;
    std::memcpy(macInput, work->ini1Request + kIni1NonceAt, kNonceBytes);
    std::memcpy(macInput + kNonceBytes, work->ini1Reply + kIni1NonceAt, kNonceBytes);
    HmacSha1(&work->sha, work->keyMaterial + kKaOffset, kKeyBytes, macInput, 2 * kNonceBytes,
             work->km);
    std::memset(macInput, 0, kWorkingBufferSize);
    std::memcpy(macInput, ydBytes, kNumberBytes);
    std::memcpy(macInput + kNumberBytes, ycBytes, kNumberBytes);
    HmacSha1(&work->sha, work->km, kMacBytes, macInput, kWorkingBufferSize, work->pd);
    std::memset(macInput, 0, kWorkingBufferSize);
    std::memcpy(macInput, ycBytes, kNumberBytes);
    std::memcpy(macInput + kNumberBytes, ydBytes, kNumberBytes);
    HmacSha1(&work->sha, work->km, kMacBytes, macInput, kWorkingBufferSize, work->pc);
    SecureWipe(macInput, kWorkingBufferSize);
    platform::HeapRelease(macInput);
    return kStepDone;
}

// Phase 2: the client's proof sent in Ini2; the driver's proof must match Pd.
Outcome SendIni2(platform::DeviceHandle device, HandshakeState* state) {
    const Outcome proofs = ComputeProofs(state);
    if (proofs != kStepDone) {
        return proofs;
    }
    HandshakeWork* work = &state->work;
    StoreLe32(work->ini2Request, kTagIni2);
    StoreLe32(work->ini2Request + kSidAt, state->sid);
    std::memcpy(work->ini2Request + kIni2ProofAt, work->pc, kMacBytes);
    if (!Exchange(device, work->ini2Request, kIni2RequestSize, work->ini2Reply, kIni2ReplySize,
                  state)) {
        return Outcome::kIni2Failed;
    }
    if (!ConstantTimeEqual(work->ini2Reply, work->pd, kMacBytes)) {
        return Outcome::kAuthFailed;
    }
    return kStepDone;
}

// Z = Yd^x mod p and KEK, the first 16 bytes of SHA-1 of Z. The driver's value is
// checked before it is used as a base.
Outcome DeriveKek(platform::DeviceHandle, HandshakeState* state) {
    HandshakeWork* work = &state->work;
    if (!PublicValueInRange(work->yd) ||
        !powmod(work->z, kNumberWords, work->yd, kNumberWords, work->x, kExponentWords,
                kOakleyGroup2Prime, kNumberWords)) {
        return Outcome::kKekFailed;
    }
    WordsToBytes(work->z, kNumberWords, work->zBytes);
    Sha1Digest(work->zBytes, kNumberBytes, work->digest);
    std::memcpy(work->kek, work->digest, kKeyBytes);
    return kStepDone;
}

// Phase 3: Ks drawn and sent under KEK in Ini3; the context is then keyed with Ks
// and must decipher the reply to "Auth" "Misc".
Outcome SendIni3(platform::DeviceHandle device, HandshakeState* state) {
    HandshakeWork* work = &state->work;
    state->context =
        static_cast<BlowfishContext*>(platform::HeapAllocZeroed(sizeof(BlowfishContext)));
    if (state->context == nullptr) {
        state->savedError = platform::GetLastErrorValue();
        return Outcome::kPhase3Alloc;
    }
    if (!BlowfishInitialize(state->context, work->kek, kKeyBytes)) {
        return Outcome::kKeyKekFailed;
    }
    // Draws 9-12: Ks.
    for (uint32_t i = 0; i < 4; ++i) {
        StoreLe32(work->ks + 4 * i, hdrand_get());
    }
    StoreLe32(work->ini3Request, kTagIni3);
    StoreLe32(work->ini3Request + kSidAt, state->sid);
    std::memcpy(work->ini3Request + kIni3KeyAt, work->ks, kKeyBytes);
    const uint32_t keyBlocks = kKeyBytes / 8;
    const bool enciphered = BlowfishEncipherBlocks(state->context, work->ini3Request + kIni3KeyAt,
                                                   keyBlocks) == keyBlocks;
    SecureWipe(state->context, sizeof(BlowfishContext));
    if (!enciphered) {
        return Outcome::kEncipherFailed;
    }
    if (!Exchange(device, work->ini3Request, kIni3RequestSize, work->ini3Reply, kIni3ReplySize,
                  state)) {
        return Outcome::kIni3Failed;
    }
    if (!BlowfishInitialize(state->context, work->ks, kKeyBytes)) {
        return Outcome::kKeySessionFailed;
    }
    if (BlowfishDecipherBlocks(state->context, work->ini3Reply, 1) != 1 ||
        LoadLe32(work->ini3Reply) != kConfirmLeft ||
        LoadLe32(work->ini3Reply + 4) != kConfirmRight) {
        return Outcome::kConfirmFailed;
    }
    return kStepDone;
}

// Steps 2 to 24 over the zeroed state, with the key material built; stops at the
// first step that fails. On success state->context holds the context keyed with Ks.
Outcome RunSteps(platform::DeviceHandle device, HandshakeState* state) {
    using Step = Outcome (*)(platform::DeviceHandle, HandshakeState*);
    static const Step kSteps[] = {StartGenerator, SendIni1, SendIni2, DeriveKek, SendIni3};
    for (const Step step : kSteps) {
        const Outcome outcome = step(device, state);
        if (outcome != kStepDone) {
            return outcome;
        }
    }
    return Outcome::kKeyed;
}

}  // namespace

HandshakeOutcome Handshake(platform::DeviceHandle device, HandshakeState* state) {
    std::memset(state, 0, sizeof *state);
    // Step 1: the probe. Only the last-error value after it counts; it is cleared
    // first so that a value left by an earlier call cannot pass for the answer.
    uint32_t returned = 0;
    platform::SetLastErrorValue(platform::kErrorSuccess);
    platform::DeviceControl(device, IOCTL_MISC_SESSION, /*inBuffer=*/nullptr, /*inSize=*/0,
                            /*outBuffer=*/nullptr, /*outSize=*/0, &returned);
    if (platform::GetLastErrorValue() == platform::kErrorNotSupported) {
        return Outcome::kPlain;
    }

    BuildKeyMaterial(state->work.keyMaterial);
    const Outcome outcome = RunSteps(device, state);
    SecureWipe(&state->work, sizeof state->work);
    return outcome;
}

}  // namespace session

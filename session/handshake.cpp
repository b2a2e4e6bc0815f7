// The session handshake over the misc driver's device handle (see handshake.h).

#include "session/handshake.h"

#include <cstring>

#include "crypto/bigint.h"
#include "crypto/wipe.h"
#include "common/le_bytes.h"
#include "session/hdrand.h"

namespace session {

namespace {

constexpr uint32_t kTagIni1 = 0x31696E49;       // "Ini1"
constexpr uint32_t kTagIni2 = 0x32696E49;       // "Ini2"
constexpr uint32_t kTagIni3 = 0x33696E49;       // "Ini3"
constexpr uint32_t kConfirmLeft = 0x68747541;   // "Auth"
constexpr uint32_t kConfirmRight = 0x6373694D;  // "Misc"

constexpr uint32_t kNonceBytes = 24;
constexpr uint32_t kWorkingBufferSize = 2 * kNumberBytes;  // 264
constexpr int kSelfTestAttempts = 16;

// Where the numbers and the nonce sit in the Ini1 messages.
constexpr uint32_t kIni1NumberAt = 4;
constexpr uint32_t kIni1NonceAt = 136;

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

// One handshake message; true when the request succeeded and exactly replySize
// bytes came back. The last-error value after the request is kept either way.
bool Exchange(platform::DeviceHandle device, const uint8_t* request, uint32_t requestSize,
              uint8_t* reply, uint32_t replySize, HandshakeState* s) {
    uint32_t returned = 0;
    const bool ok = platform::DeviceControl(device, IOCTL_MISC_SESSION, request, requestSize, reply,
                                            replySize, &returned);
    s->savedError = platform::GetLastErrorValue();
    return ok && returned == replySize;
}

// Steps 2 to 24 over the zeroed state, with the key material built; returns as
// soon as a step fails. On success s->context holds the context keyed with Ks.
Outcome RunSteps(platform::DeviceHandle device, HandshakeState* s) {
    HandshakeWork* w = &s->work;
    if (!hdrand_init()) {
        return Outcome::kInitFailed;
    }
    bool selfTestPassed = false;
    for (int attempt = 0; attempt < kSelfTestAttempts && !selfTestPassed; ++attempt) {
        selfTestPassed = hdrand_test() != -1;
    }
    if (!selfTestPassed) {
        return Outcome::kSelfTestFailed;
    }

    // Draws 1-3: x (96 random bits; word 3 stays 0). Draws 4-8: the client nonce.
    for (uint32_t i = 0; i < 3; ++i) {
        w->x[i] = hdrand_get();
    }
    w->x[3] = 0;
    for (uint32_t i = 0; i < 5; ++i) {
        StoreLe32(w->ini1Request + kIni1NonceAt + 4 * i, hdrand_get());
    }

    // Phase 1.
    if (!pow2mod(w->yc, kNumberWords, w->x, kExponentWords, kOakleyGroup2Prime, kNumberWords)) {
        return Outcome::kPow2ModFailed;
    }
    WordsToBytes(w->yc, kNumberWords, w->ini1Request + kIni1NumberAt);
    StoreLe32(w->ini1Request, kTagIni1);
    if (!Exchange(device, w->ini1Request, kIni1Size, w->ini1Reply, kIni1Size, s)) {
        return Outcome::kIni1Failed;
    }
    s->sid = LoadLe32(w->ini1Reply);
    s->haveSid = true;
    const uint8_t* ycBytes = w->ini1Request + kIni1NumberAt;
    const uint8_t* ydBytes = w->ini1Reply + kIni1NumberAt;
    BytesToWords(ydBytes, kNumberWords, w->yd);

    // Phase 2: Km, then the two proofs, all in one heap buffer that is cleared
    // before each refill and wiped before release.
    uint8_t* work = static_cast<uint8_t*>(platform::HeapAllocZeroed(kWorkingBufferSize));
    if (work == nullptr) {
        s->savedError = platform::GetLastErrorValue();
        return Outcome::kPhase2Alloc;
    }
    std::memcpy(work, w->ini1Request + kIni1NonceAt, kNonceBytes);
    std::memcpy(work + kNonceBytes, w->ini1Reply + kIni1NonceAt, kNonceBytes);
    HmacSha1(&w->sha, w->keyMaterial + kKaOffset, kKeyBytes, work, 2 * kNonceBytes, w->km);
    std::memset(work, 0, kWorkingBufferSize);
    std::memcpy(work, ydBytes, kNumberBytes);
    std::memcpy(work + kNumberBytes, ycBytes, kNumberBytes);
    HmacSha1(&w->sha, w->km, kMacBytes, work, kWorkingBufferSize, w->pd);
    std::memset(work, 0, kWorkingBufferSize);
    std::memcpy(work, ycBytes, kNumberBytes);
    std::memcpy(work + kNumberBytes, ydBytes, kNumberBytes);
    HmacSha1(&w->sha, w->km, kMacBytes, work, kWorkingBufferSize, w->pc);
    SecureWipe(work, kWorkingBufferSize);
    platform::HeapRelease(work);

    StoreLe32(w->ini2Request, kTagIni2);
    StoreLe32(w->ini2Request + 4, s->sid);
    std::memcpy(w->ini2Request + 8, w->pc, kMacBytes);
    if (!Exchange(device, w->ini2Request, kIni2RequestSize, w->ini2Reply, kIni2ReplySize, s)) {
        return Outcome::kIni2Failed;
    }
    uint8_t difference = 0;
    for (uint32_t i = 0; i < kMacBytes; ++i) {
        difference |= static_cast<uint8_t>(w->ini2Reply[i] ^ w->pd[i]);
    }
    if (difference != 0) {
        return Outcome::kAuthFailed;
    }

    // Z and KEK. The driver's value is checked before it is used as a base.
    if (!PublicValueInRange(w->yd) || !powmod(w->z, kNumberWords, w->yd, kNumberWords, w->x,
                                              kExponentWords, kOakleyGroup2Prime, kNumberWords)) {
        return Outcome::kKekFailed;
    }
    WordsToBytes(w->z, kNumberWords, w->zBytes);
    Sha1Initialize(&w->sha);
    Sha1Update(&w->sha, w->zBytes, kNumberBytes);
    Sha1Final(&w->sha);
    Sha1GetDigest(&w->sha, w->digest);
    std::memcpy(w->kek, w->digest, kKeyBytes);

    // Phase 3.
    s->context = static_cast<BlowfishContext*>(platform::HeapAllocZeroed(sizeof(BlowfishContext)));
    if (s->context == nullptr) {
        s->savedError = platform::GetLastErrorValue();
        return Outcome::kPhase3Alloc;
    }
    if (!BlowfishInitialize(s->context, w->kek, kKeyBytes)) {
        return Outcome::kKeyKekFailed;
    }
    // Draws 9-12: Ks.
    for (uint32_t i = 0; i < 4; ++i) {
        StoreLe32(w->ks + 4 * i, hdrand_get());
    }
    StoreLe32(w->ini3Request, kTagIni3);
    StoreLe32(w->ini3Request + 4, s->sid);
    std::memcpy(w->ini3Request + 8, w->ks, kKeyBytes);
    bool enciphered = true;
    for (uint32_t block = 8; block < kIni3RequestSize && enciphered; block += 8) {
        uint32_t left = LoadLe32(w->ini3Request + block);
        uint32_t right = LoadLe32(w->ini3Request + block + 4);
        enciphered = BlowfishEncipher(s->context, &left, &right);
        StoreLe32(w->ini3Request + block, left);
        StoreLe32(w->ini3Request + block + 4, right);
    }
    SecureWipe(s->context, sizeof(BlowfishContext));
    if (!enciphered) {
        return Outcome::kEncipherFailed;
    }
    if (!Exchange(device, w->ini3Request, kIni3RequestSize, w->ini3Reply, kIni3ReplySize, s)) {
        return Outcome::kIni3Failed;
    }
    if (!BlowfishInitialize(s->context, w->ks, kKeyBytes)) {
        return Outcome::kKeySessionFailed;
    }
    uint32_t left = LoadLe32(w->ini3Reply);
    uint32_t right = LoadLe32(w->ini3Reply + 4);
    if (!BlowfishDecipher(s->context, &left, &right) || left != kConfirmLeft ||
        right != kConfirmRight) {
        return Outcome::kConfirmFailed;
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

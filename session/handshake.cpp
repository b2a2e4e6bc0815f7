// The session handshake: probe, Diffie-Hellman in the Second Oakley Group,
// authentication of the driver by HMAC-SHA1 under the pre-shared key, and transport
// of a Blowfish session key under the key-encryption key.

#include <cstring>

#include "crypto/bigint.h"
#include "crypto/blowfish.h"
#include "crypto/sha1.h"
#include "crypto/wipe.h"
#include "common/le_bytes.h"
#include "driver_client/misc_common.h"
#include "session/hdrand.h"

namespace MiscCommon {

namespace {

constexpr uint32_t kTagIni1 = 0x31696E49;       // "Ini1"
constexpr uint32_t kTagIni2 = 0x32696E49;       // "Ini2"
constexpr uint32_t kTagIni3 = 0x33696E49;       // "Ini3"
constexpr uint32_t kConfirmLeft = 0x68747541;   // "Auth"
constexpr uint32_t kConfirmRight = 0x6373694D;  // "Misc"

constexpr uint32_t kNumberWords = 33;
constexpr uint32_t kNumberBytes = 4 * kNumberWords;
constexpr uint32_t kExponentWords = 4;
constexpr uint32_t kNonceBytes = 24;
constexpr uint32_t kMacBytes = SHA1_DIGEST_SIZE;
constexpr uint32_t kKeyBytes = 16;
constexpr uint32_t kWorkingBufferSize = 2 * kNumberBytes;  // 264
constexpr int kSelfTestAttempts = 16;

// Message layouts.
constexpr uint32_t kIni1Size = 160;  // request and reply
constexpr uint32_t kIni1NumberAt = 4;
constexpr uint32_t kIni1NonceAt = 136;
constexpr uint32_t kIni2RequestSize = 28;
constexpr uint32_t kIni2ReplySize = kMacBytes;
constexpr uint32_t kIni3RequestSize = 24;
constexpr uint32_t kIni3ReplySize = 8;

// The key material block: Ka is the 16 bytes at offsets 23 to 38; the rest is
// filler, so the key never sits in the program as one aligned run of bytes.
constexpr uint32_t kKeyMaterialWords = 32;
constexpr uint32_t kKaOffset = 23;

void BuildKeyMaterial(uint8_t block[4 * kKeyMaterialWords]) {
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

// The failures of the handshake, in the order of its steps.
enum Failure {
    kNone = 0,
    kInitFailed,        // F1
    kSelfTestFailed,    // F2
    kPow2ModFailed,     // F3
    kIni1Failed,        // F4
    kPhase2Alloc,       // F5
    kIni2Failed,        // F6
    kAuthFailed,        // F7
    kKekFailed,         // F8
    kPhase3Alloc,       // F9
    kKeyKekFailed,      // F10
    kEncipherFailed,    // F11
    kIni3Failed,        // F12
    kKeySessionFailed,  // F13
    kConfirmFailed,     // F14
};

struct FailureRow {
    const char* text;
    MiscStatus status;
    bool closeSession;
    bool restoreError;
};

const FailureRow kFailureRows[] = {
    {"", MISC_SUCCESS, false, false},
    {"_Initialize: hdrand_init failed", MISC_FAILED, false, false},
    {"_Initialize: hdrand_test failed 16 times", MISC_FAILED, false, false},
    {"_Initialize: pow2mod failed.", MISC_FAILED, false, false},
    {"_Initialize: DeviceIoControl failed.", MISC_FAILED, false, true},
    {"_Initialize: HeapAlloc (phase2) failed.", MISC_NO_MEMORY, true, true},
    {"_Initialize: DeviceIoControl (phase2) failed.", MISC_FAILED, true, true},
    {"_Initialize: Driver Authentication Failed.", MISC_NOT_FOUND, true, false},
    {"_Initialize: Key Encryption Key calculation failed.", MISC_NOT_FOUND, true, false},
    {"_Initialize: HeapAlloc (phase3) failed.", MISC_NO_MEMORY, true, true},
    {"_Initialize: BlowfishInitialize (1st time) failed.", MISC_FAILED, true, false},
    {"_Initialize: BlowfishEncipher failed.", MISC_FAILED, true, false},
    {"_Initialize: DeviceIoControl (phase3) failed.", MISC_FAILED, true, true},
    {"_Initialize: BlowfishInitialize (2nd time) failed.", MISC_FAILED, true, false},
    {"_Initialize: BlowfishDecipher failed.", MISC_FAILED, true, false},
};

// Everything one handshake keeps in local storage. Wiped as a whole before
// _Initialize returns: it holds x, Z, KEK, Km, Ks, the digests and the hash state.
struct HandshakeState {
    uint8_t keyMaterial[4 * kKeyMaterialWords];
    uint32_t x[kExponentWords];
    uint32_t yc[kNumberWords];
    uint32_t yd[kNumberWords];
    uint32_t z[kNumberWords];
    uint8_t zBytes[kNumberBytes];
    uint8_t km[kMacBytes];
    uint8_t pd[kMacBytes];
    uint8_t pc[kMacBytes];
    uint8_t digest[SHA1_DIGEST_SIZE];
    uint8_t kek[kKeyBytes];
    uint8_t ks[kKeyBytes];
    Sha1Context sha;
    uint8_t ini1Request[kIni1Size];
    uint8_t ini1Reply[kIni1Size];
    uint8_t ini2Request[kIni2RequestSize];
    uint8_t ini2Reply[kIni2ReplySize];
    uint8_t ini3Request[kIni3RequestSize];
    uint8_t ini3Reply[kIni3ReplySize];
    uint32_t sid;
    bool haveSid;              // a complete Ini1 reply arrived
    BlowfishContext* context;  // the phase 3 context, null until allocated
    uint32_t savedError;       // last-error value to restore for some failures
};

// One handshake message; true when the request succeeded and exactly `expected`
// bytes came back. The last-error value after the request is kept either way.
bool Exchange(platform::DeviceHandle device, const uint8_t* request, uint32_t requestSize,
              uint8_t* reply, uint32_t replySize, HandshakeState* s) {
    uint32_t returned = 0;
    const bool ok = platform::DeviceControl(device, IOCTL_MISC_SESSION, request, requestSize, reply,
                                            replySize, &returned);
    s->savedError = platform::GetLastErrorValue();
    return ok && returned == replySize;
}

// Steps 2 to 24; returns the failure, leaving the clean-up to the caller. On
// success s->context holds the context keyed with Ks.
Failure RunHandshake(platform::DeviceHandle device, HandshakeState* s) {
    if (!hdrand_init()) {
        return kInitFailed;
    }
    bool selfTestPassed = false;
    for (int attempt = 0; attempt < kSelfTestAttempts && !selfTestPassed; ++attempt) {
        selfTestPassed = hdrand_test() != -1;
    }
    if (!selfTestPassed) {
        return kSelfTestFailed;
    }

    // Draws 1-3: x (96 random bits; word 3 stays 0). Draws 4-8: the client nonce.
    for (uint32_t i = 0; i < 3; ++i) {
        s->x[i] = hdrand_get();
    }
    s->x[3] = 0;
    for (uint32_t i = 0; i < 5; ++i) {
        StoreLe32(s->ini1Request + kIni1NonceAt + 4 * i, hdrand_get());
    }

    // Phase 1.
    if (!pow2mod(s->yc, kNumberWords, s->x, kExponentWords, kOakleyGroup2Prime, kNumberWords)) {
        return kPow2ModFailed;
    }
    WordsToBytes(s->yc, kNumberWords, s->ini1Request + kIni1NumberAt);
    StoreLe32(s->ini1Request, kTagIni1);
    if (!Exchange(device, s->ini1Request, kIni1Size, s->ini1Reply, kIni1Size, s)) {
        return kIni1Failed;
    }
    s->sid = LoadLe32(s->ini1Reply);
    s->haveSid = true;
    const uint8_t* ycBytes = s->ini1Request + kIni1NumberAt;
    const uint8_t* ydBytes = s->ini1Reply + kIni1NumberAt;
    BytesToWords(ydBytes, kNumberWords, s->yd);

    // Phase 2: Km, then the two proofs, all in one heap buffer that is cleared
    // before each refill and wiped before release.
    uint8_t* work = static_cast<uint8_t*>(platform::HeapAllocZeroed(kWorkingBufferSize));
    if (work == nullptr) {
        s->savedError = platform::GetLastErrorValue();
        return kPhase2Alloc;
    }
    std::memcpy(work, s->ini1Request + kIni1NonceAt, kNonceBytes);
    std::memcpy(work + kNonceBytes, s->ini1Reply + kIni1NonceAt, kNonceBytes);
    HmacSha1(&s->sha, s->keyMaterial + kKaOffset, kKeyBytes, work, 2 * kNonceBytes, s->km);
    std::memset(work, 0, kWorkingBufferSize);
    std::memcpy(work, ydBytes, kNumberBytes);
    std::memcpy(work + kNumberBytes, ycBytes, kNumberBytes);
    HmacSha1(&s->sha, s->km, kMacBytes, work, kWorkingBufferSize, s->pd);
    std::memset(work, 0, kWorkingBufferSize);
    std::memcpy(work, ycBytes, kNumberBytes);
    std::memcpy(work + kNumberBytes, ydBytes, kNumberBytes);
    HmacSha1(&s->sha, s->km, kMacBytes, work, kWorkingBufferSize, s->pc);
    SecureWipe(work, kWorkingBufferSize);
    platform::HeapRelease(work);

    StoreLe32(s->ini2Request, kTagIni2);
    StoreLe32(s->ini2Request + 4, s->sid);
    std::memcpy(s->ini2Request + 8, s->pc, kMacBytes);
    if (!Exchange(device, s->ini2Request, kIni2RequestSize, s->ini2Reply, kIni2ReplySize, s)) {
        return kIni2Failed;
    }
    uint8_t difference = 0;
    for (uint32_t i = 0; i < kMacBytes; ++i) {
        difference |= static_cast<uint8_t>(s->ini2Reply[i] ^ s->pd[i]);
    }
    if (difference != 0) {
        return kAuthFailed;
    }

    // Z and KEK. The driver's value is checked before it is used as a base.
    if (!PublicValueInRange(s->yd) || !powmod(s->z, kNumberWords, s->yd, kNumberWords, s->x,
                                              kExponentWords, kOakleyGroup2Prime, kNumberWords)) {
        return kKekFailed;
    }
    WordsToBytes(s->z, kNumberWords, s->zBytes);
    Sha1Initialize(&s->sha);
    Sha1Update(&s->sha, s->zBytes, kNumberBytes);
    Sha1Final(&s->sha);
    Sha1GetDigest(&s->sha, s->digest);
    std::memcpy(s->kek, s->digest, kKeyBytes);

    // Phase 3.
    s->context = static_cast<BlowfishContext*>(platform::HeapAllocZeroed(sizeof(BlowfishContext)));
    if (s->context == nullptr) {
        s->savedError = platform::GetLastErrorValue();
        return kPhase3Alloc;
    }
    if (!BlowfishInitialize(s->context, s->kek, kKeyBytes)) {
        return kKeyKekFailed;
    }
    // Draws 9-12: Ks.
    for (uint32_t i = 0; i < 4; ++i) {
        StoreLe32(s->ks + 4 * i, hdrand_get());
    }
    StoreLe32(s->ini3Request, kTagIni3);
    StoreLe32(s->ini3Request + 4, s->sid);
    std::memcpy(s->ini3Request + 8, s->ks, kKeyBytes);
    bool enciphered = true;
    for (uint32_t block = 8; block < kIni3RequestSize && enciphered; block += 8) {
        uint32_t left = LoadLe32(s->ini3Request + block);
        uint32_t right = LoadLe32(s->ini3Request + block + 4);
        enciphered = BlowfishEncipher(s->context, &left, &right);
        StoreLe32(s->ini3Request + block, left);
        StoreLe32(s->ini3Request + block + 4, right);
    }
    SecureWipe(s->context, sizeof(BlowfishContext));
    if (!enciphered) {
        return kEncipherFailed;
    }
    if (!Exchange(device, s->ini3Request, kIni3RequestSize, s->ini3Reply, kIni3ReplySize, s)) {
        return kIni3Failed;
    }
    if (!BlowfishInitialize(s->context, s->ks, kKeyBytes)) {
        return kKeySessionFailed;
    }
    uint32_t left = LoadLe32(s->ini3Reply);
    uint32_t right = LoadLe32(s->ini3Reply + 4);
    if (!BlowfishDecipher(s->context, &left, &right) || left != kConfirmLeft ||
        right != kConfirmRight) {
        return kConfirmFailed;
    }
    return kNone;
}

}  // namespace

MiscStatus CMiscCommon::_Initialize() {
    // Step 1: the probe. Only the last-error value after it counts; it is cleared
    // first so that a value left by an earlier call cannot pass for the answer.
    uint32_t returned = 0;
    platform::SetLastErrorValue(platform::kErrorSuccess);
    platform::DeviceControl(_hDevice, IOCTL_MISC_SESSION, /*inBuffer=*/nullptr, /*inSize=*/0,
                            /*outBuffer=*/nullptr, /*outSize=*/0, &returned);
    if (platform::GetLastErrorValue() == platform::kErrorNotSupported) {
        EncryptionEnabled = 0;
        return MISC_SUCCESS;
    }

    HandshakeState s;
    std::memset(&s, 0, sizeof s);
    BuildKeyMaterial(s.keyMaterial);
    const Failure failure = RunHandshake(_hDevice, &s);
    const FailureRow& row = kFailureRows[failure];
    if (failure == kNone) {
        SessionId = s.sid;
        SessionCipher = s.context;
        SequenceNumber = 0;
    } else {
        _SetErrorText("%s", row.text);
        if (s.haveSid && row.closeSession) {
            uint8_t sid[4];
            StoreLe32(sid, s.sid);
            uint32_t ignored = 0;
            platform::DeviceControl(_hDevice, IOCTL_MISC_CLOSE_SESSION, sid, sizeof sid,
                                    /*outBuffer=*/nullptr, /*outSize=*/0, &ignored);
        }
        if (s.context != nullptr) {
            SecureWipe(s.context, sizeof(BlowfishContext));
            platform::HeapRelease(s.context);
        }
        if (row.restoreError) {
            platform::SetLastErrorValue(s.savedError);
        }
    }
    SecureWipe(&s, sizeof s);
    return row.status;
}

}  // namespace MiscCommon

// The driver's side of the handshake and the capsule cipher.
//
// Ini1: the driver answers the client's public value Yc with a fresh SID, its own
// public value Yd = 2^y mod p (y of 160 random bits) and a 24-byte nonce block Nd,
// and derives Km = HMAC(Ka, Nc || Nd). Ini2: it checks the client's proof
// Pc = HMAC(Km, Yc || Yd) and answers its own Pd = HMAC(Km, Yd || Yc); once that
// reply is sent it derives KEK from SHA-1 of Z = Yc^y mod p. Ini3: it deciphers the
// session key Ks under KEK and confirms it with "Auth" "Misc" enciphered under Ks.
#include <cstring>

#include "crypto/bigint.h"
#include "crypto/blowfish.h"
#include "crypto/sha1.h"
#include "crypto/wipe.h"
#include "driver_client/misc_common.h"
#include "session/handshake.h"
#include "session/handshake_wire.h"
#include "tools/misc_driver_sim/sim_session.h"

namespace misc_sim {

namespace {

using platform::kErrorAccessDenied;
using platform::kErrorGenFailure;
using platform::kErrorNotSupported;

using session::kIni1NonceAt;
using session::kIni1NumberAt;
using session::kIni1Size;
using session::kNonceBytes;
using session::kNumberBytes;
using session::kNumberWords;

// The driver's exponent y: 160 random bits, then a zero sign word.
constexpr uint32_t kExponentWords = 6;

const uint8_t kKa[16] = {0xe4, 0xd9, 0x4e, 0x07, 0x32, 0x75, 0x53, 0x10,
                         0x27, 0x58, 0x05, 0xb6, 0x0e, 0x4b, 0xa4, 0x94};
// What a driver with another pre-shared key would hold.
const uint8_t kOtherKa[16] = {0xe4, 0xd9, 0x4e, 0x07, 0x32, 0x75, 0x53, 0x10,
                              0x27, 0x58, 0x05, 0xb6, 0x0e, 0x4b, 0xa4, 0x95};

// 1 < value < p - 1, read from the message's bytes: the client's own check.
bool PublicValueInRange(const uint8_t* bytes) {
    uint32_t value[kNumberWords];
    BytesToWords(bytes, kNumberWords, value);
    return session::PublicValueInRange(value);
}

void Hmac(const uint8_t* key, uint32_t keyLength, const uint8_t* first, const uint8_t* second,
          size_t partLength, uint8_t mac[20]) {
    uint8_t message[2 * kNumberBytes];
    std::memcpy(message, first, partLength);
    std::memcpy(message + partLength, second, partLength);
    Sha1Context context;
    HmacSha1(&context, key, keyLength, message, uint32_t(2 * partLength), mac);
    SecureWipe(&context, sizeof context);
    SecureWipe(message, sizeof message);
}

Reply Refuse(uint32_t error) {
    Reply reply;
    reply.error = error;
    return reply;
}

// Refuses a handshake message with ERROR_ACCESS_DENIED, the note saying why.
Reply RefuseBecause(const char* why, std::string* note) {
    *note = why;
    return Refuse(kErrorAccessDenied);
}

void ApplyYdFault(YdFault fault, uint8_t* yd) {
    uint32_t value[kNumberWords] = {};
    switch (fault) {
        case YdFault::None:
            return;
        case YdFault::Zero:
            break;
        case YdFault::One:
            value[0] = 1;
            break;
        case YdFault::PMinus1:
            std::memcpy(value, kOakleyGroup2Prime, sizeof value);
            value[0] -= 1;
            break;
        case YdFault::P:
            std::memcpy(value, kOakleyGroup2Prime, sizeof value);
            break;
        case YdFault::SignBit:
            BytesToWords(yd, kNumberWords, value);
            value[kNumberWords - 1] = 0x80000000u;
            break;
    }
    WordsToBytes(value, kNumberWords, yd);
}

Reply Ini1(Device* device, const Request& request, std::string* note) {
    Handle& handle = device->handle;
    const std::vector<uint8_t>& in = request.input;
    // The output buffer is exactly the reply's size, as for Ini2 and Ini3: a driver
    // checks the buffer lengths of its requests, not only that they suffice.
    if (in.size() != kIni1Size || request.outSize != kIni1Size) {
        return RefuseBecause("Ini1: wrong length", note);
    }
    if (LoadLe32(in.data() + kIni1NonceAt + kNonceBytes - 4) != 0) {
        return RefuseBecause("Ini1: nonce block not closed by four zero bytes", note);
    }
    if (!PublicValueInRange(in.data() + kIni1NumberAt)) {
        return RefuseBecause("Ini1: Yc out of range", note);
    }
    // A new handshake replaces whatever this handle had.
    ForgetSession(&handle);
    const Config& config = device->config;
    do {
        config.random(reinterpret_cast<uint8_t*>(&handle.sid), sizeof handle.sid);
    } while (handle.sid == 0);
    PrepareKeyPair(device);
    if (!device->prepared.ready) {
        ForgetSession(&handle);
        *note = "Ini1: pow2mod failed";
        return Refuse(kErrorGenFailure);
    }
    std::memcpy(handle.exponent, device->prepared.exponent, sizeof handle.exponent);
    std::memcpy(handle.yd, device->prepared.yd, sizeof handle.yd);
    SecureWipe(&device->prepared, sizeof device->prepared);
    device->prepared.ready = false;
    ApplyYdFault(config.faults.yd, handle.yd);
    std::memcpy(handle.yc, in.data() + kIni1NumberAt, kNumberBytes);

    Reply reply;
    reply.ok = 1;
    reply.output.assign(kIni1Size, 0);
    uint8_t* out = reply.output.data();
    StoreLe32(out, handle.sid);
    std::memcpy(out + kIni1NumberAt, handle.yd, kNumberBytes);
    config.random(out + kIni1NonceAt, kNonceBytes);  // Nd
    Hmac(config.faults.wrongKa ? kOtherKa : kKa, sizeof kKa, in.data() + kIni1NonceAt,
         out + kIni1NonceAt, kNonceBytes, handle.km);
    handle.phase = Phase::Offered;
    if (config.faults.shortIni1) {
        reply.output.resize(kIni1Size - 1);
    }
    char text[48];
    std::snprintf(text, sizeof text, "Ini1: SID %08x", handle.sid);
    *note = text;
    return reply;
}

// Whether an Ini2 or Ini3 request comes in its turn (the handle in phase), with
// the sizes of that message and the handle's SID.
bool InTurn(const Handle& handle, const Request& request, Phase phase, uint32_t requestSize,
            uint32_t replySize) {
    const std::vector<uint8_t>& in = request.input;
    return handle.phase == phase && in.size() == requestSize && request.outSize == replySize &&
           LoadLe32(in.data() + session::kSidAt) == handle.sid;
}

Reply Ini2(Device* device, const Request& request, std::string* note) {
    Handle& handle = device->handle;
    if (!InTurn(handle, request, Phase::Offered, session::kIni2RequestSize,
                session::kIni2ReplySize)) {
        return RefuseBecause("Ini2: out of turn, wrong length or wrong SID", note);
    }
    uint8_t expected[20];
    Hmac(handle.km, sizeof handle.km, handle.yc, handle.yd, kNumberBytes, expected);
    const bool proven =
        ConstantTimeEqual(expected, request.input.data() + session::kIni2ProofAt, sizeof expected);
    SecureWipe(expected, sizeof expected);
    if (!proven) {
        return RefuseBecause("Ini2: wrong client proof", note);
    }
    Reply reply;
    reply.ok = 1;
    reply.output.assign(session::kIni2ReplySize, 0);
    Hmac(handle.km, sizeof handle.km, handle.yd, handle.yc, kNumberBytes, reply.output.data());
    if (device->config.faults.wrongProof) {
        reply.output.back() ^= 0x01;
    }
    // The shared secret waits until this reply is on its way (WorkOutKek), so that
    // the driver's exponentiation runs while the client works out its own.
    handle.phase = Phase::Authenticated;
    handle.kekOwed = true;
    if (device->config.faults.shortIni2) {
        reply.output.resize(session::kIni2ReplySize - 1);
    }
    *note = "Ini2: client proven";
    return reply;
}

Reply Ini3(Device* device, const Request& request, std::string* note) {
    Handle& handle = device->handle;
    if (!InTurn(handle, request, Phase::Authenticated, session::kIni3RequestSize,
                session::kIni3ReplySize)) {
        return RefuseBecause("Ini3: out of turn, wrong length or wrong SID", note);
    }
    if (!WorkOutKek(device)) {
        *note = "Ini3: powmod failed";
        return Refuse(kErrorGenFailure);
    }
    uint8_t key[session::kKeyBytes];
    std::memcpy(key, request.input.data() + session::kIni3KeyAt, sizeof key);
    BlowfishInitialize(&handle.cipher, handle.kek, sizeof handle.kek);
    BlowfishDecipherBlocks(&handle.cipher, key, sizeof key / 8);
    BlowfishInitialize(&handle.cipher, key, sizeof key);
    SecureWipe(key, sizeof key);
    SecureWipe(handle.kek, sizeof handle.kek);
    SecureWipe(handle.km, sizeof handle.km);

    uint32_t left = session::kConfirmLeft;
    uint32_t right = session::kConfirmRight;
    if (device->config.faults.swappedConfirmation) {
        std::swap(left, right);
    }
    Reply reply;
    reply.ok = 1;
    reply.output.assign(session::kIni3ReplySize, 0);
    StoreLe32(reply.output.data(), left);
    StoreLe32(reply.output.data() + 4, right);
    BlowfishEncipherBlocks(&handle.cipher, reply.output.data(), 1);
    handle.phase = Phase::Established;
    handle.expectedSequence = 0;
    if (device->config.faults.shortIni3) {
        reply.output.resize(session::kIni3ReplySize - 1);
    }
    *note = "Ini3: session established";
    return reply;
}

// The number of whole blocks in bytes 12 to size - 5 of a capsule of size bytes.
uint32_t CapsuleBlocks(uint32_t size) {
    if (size < MiscCommon::CapsuleSizeFor(0)) {
        return 0;
    }
    return (size - MiscCommon::CapsuleSizeFor(0)) / 8;
}

}  // namespace

Reply SessionRequest(Device* device, const Request& request, std::string* note) {
    if (!device->config.encryption) {
        *note = "session: encryption not supported";
        return Refuse(kErrorNotSupported);
    }
    const std::vector<uint8_t>& in = request.input;
    if (in.empty() && request.outSize == 0) {
        *note = "probe";
        Reply reply;
        reply.ok = 1;
        return reply;
    }
    const uint32_t tag = in.size() >= 4 ? LoadLe32(in.data()) : 0;
    switch (tag) {
        case session::kTagIni1:
            return Ini1(device, request, note);
        case session::kTagIni2:
            return Ini2(device, request, note);
        case session::kTagIni3:
            return Ini3(device, request, note);
        default:
            return RefuseBecause("session: unknown tag", note);
    }
}

bool WorkOutKek(Device* device) {
    Handle& handle = device->handle;
    if (!handle.kekOwed) {
        return !handle.kekFailed;
    }
    handle.kekOwed = false;
    uint32_t yc[kNumberWords];
    uint32_t z[kNumberWords];
    BytesToWords(handle.yc, kNumberWords, yc);
    const bool agreed = powmod(z, kNumberWords, yc, kNumberWords, handle.exponent, kExponentWords,
                               kOakleyGroup2Prime, kNumberWords);
    SecureWipe(handle.exponent, sizeof handle.exponent);
    if (!agreed) {
        SecureWipe(z, sizeof z);
        handle.kekFailed = true;
        return false;
    }
    uint8_t zBytes[kNumberBytes];
    WordsToBytes(z, kNumberWords, zBytes);
    uint8_t digest[SHA1_DIGEST_SIZE];
    Sha1Digest(zBytes, sizeof zBytes, digest);
    std::memcpy(handle.kek, digest, sizeof handle.kek);
    SecureWipe(digest, sizeof digest);
    SecureWipe(zBytes, sizeof zBytes);
    SecureWipe(z, sizeof z);
    return true;
}

void MakeKeyPair(RandomSource random, bool refuse, KeyPair* pair) {
    uint32_t yd[kNumberWords] = {};
    // pow2mod may refuse a rare result that keeps a spare word; a fresh exponent
    // fixes that.
    for (int attempt = 0; attempt < 4 && !pair->ready; ++attempt) {
        random(reinterpret_cast<uint8_t*>(pair->exponent), 4 * (kExponentWords - 1));
        pair->exponent[kExponentWords - 1] = 0;
        pair->ready = !refuse && pow2mod(yd, kNumberWords, pair->exponent, kExponentWords,
                                         kOakleyGroup2Prime, kNumberWords);
    }
    if (!pair->ready) {
        // No pair: nothing of the last attempt stays behind, and Ini1 is refused.
        SecureWipe(pair, sizeof *pair);
        return;
    }
    WordsToBytes(yd, kNumberWords, pair->yd);
}

void PrepareKeyPair(Device* device) {
    if (!device->prepared.ready && device->config.encryption) {
        MakeKeyPair(device->config.random, device->config.faults.noKeyPair, &device->prepared);
    }
}

bool TakesKeyPair(const Request& request) {
    return request.code == MiscCommon::IOCTL_MISC_SESSION && request.input.size() >= 4 &&
           LoadLe32(request.input.data()) == session::kTagIni1;
}

void ForgetSession(Handle* handle) {
    SecureWipe(&handle->sid, sizeof handle->sid);
    SecureWipe(handle->exponent, sizeof handle->exponent);
    SecureWipe(handle->km, sizeof handle->km);
    SecureWipe(handle->kek, sizeof handle->kek);
    SecureWipe(&handle->cipher, sizeof handle->cipher);
    std::memset(handle->yc, 0, sizeof handle->yc);
    std::memset(handle->yd, 0, sizeof handle->yd);
    handle->kekOwed = false;
    handle->kekFailed = false;
    handle->phase = Phase::None;
    handle->expectedSequence = 0;
}

void EncipherCapsule(Handle* handle, uint8_t* capsule, uint32_t size) {
    BlowfishEncipherBlocks(&handle->cipher, capsule + MiscCommon::CAPSULE_HEADER_SIZE,
                           CapsuleBlocks(size));
}

void DecipherCapsule(Handle* handle, uint8_t* capsule, uint32_t size) {
    BlowfishDecipherBlocks(&handle->cipher, capsule + MiscCommon::CAPSULE_HEADER_SIZE,
                           CapsuleBlocks(size));
}

void InstallSession(Handle* handle, uint32_t sid, const uint8_t sessionKey[16]) {
    ForgetSession(handle);
    handle->sid = sid;
    BlowfishInitialize(&handle->cipher, sessionKey, 16);
    handle->phase = Phase::Established;
    handle->expectedSequence = 0;
}

}  // namespace misc_sim

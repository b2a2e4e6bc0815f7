// The session handshake: probe, Diffie-Hellman in the Second Oakley Group,
// authentication of the driver by HMAC-SHA1 under the pre-shared key, and transport
// of a Blowfish session key under the key-encryption key.
//
// Handshake() runs the exchanges over an open device handle into a state that its
// caller owns and says how they ended. What a failure means to the user (text,
// status), whether the driver is told to drop the session, and which last-error
// value is left are the client's decisions (CMiscCommon::_Initialize).
#pragma once

#include <cstdint>

#include "crypto/blowfish.h"
#include "crypto/sha1.h"
#include "platform/platform.h"
#include "session/handshake_wire.h"

namespace session {

constexpr uint32_t kExponentWords = 4;       // x: 96 random bits, word 3 always 0
constexpr uint32_t kKeyMaterialBytes = 128;  // the block that Ka is cut from

// How a handshake ended. The failures come in the order of the steps.
enum class HandshakeOutcome : uint32_t {
    kKeyed = 0,         // an encrypted session: sid and context hold it
    kPlain,             // the probe answered ERROR_NOT_SUPPORTED: no session, no failure
    kInitFailed,        // hdrand_init
    kSelfTestFailed,    // hdrand_test, 16 times in a row
    kPow2ModFailed,     // Yc
    kIni1Failed,        // request failed or reply not 160 bytes
    kPhase2Alloc,       // the MAC working buffer
    kIni2Failed,        // request failed or reply not 20 bytes
    kAuthFailed,        // the driver's proof differs from Pd
    kKekFailed,         // Yd out of range, or Z not computed
    kPhase3Alloc,       // the Blowfish context
    kKeyKekFailed,      // keying the context with KEK
    kEncipherFailed,    // enciphering Ks
    kIni3Failed,        // request failed or reply not 8 bytes
    kKeySessionFailed,  // keying the context with Ks
    kConfirmFailed,     // the Ini3 reply does not decipher to "Auth" "Misc"
};
constexpr uint32_t kHandshakeOutcomes = static_cast<uint32_t>(HandshakeOutcome::kConfirmFailed) + 1;

// What one handshake computes on the way: the key material Ka is cut from, x, the
// public values, Z, Km, the proofs, KEK, Ks, the hash state and the messages.
// Handshake() overwrites all of it with zeros before it returns, on every path.
struct HandshakeWork {
    uint8_t keyMaterial[kKeyMaterialBytes];
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
};

// One handshake, owned by the caller; Handshake() sets every field.
struct HandshakeState {
    HandshakeWork work;  // all zero once Handshake() has returned
    uint32_t sid;        // the driver's session identifier, valid when haveSid
    bool haveSid;        // a complete Ini1 reply arrived: the driver holds a session
    // The phase 3 context from the process heap, null until allocated. After
    // kKeyed it is keyed with Ks and becomes the caller's session cipher; after a
    // failure it may still hold a key schedule, and the caller wipes and releases it.
    BlowfishContext* context;
    uint32_t savedError;  // the last-error value right after the failing call
};

// Runs the handshake over device, an open handle of the misc driver. Sends no
// close-session request and leaves the last-error value as the last call left it.
HandshakeOutcome Handshake(platform::DeviceHandle device, HandshakeState* state);

// The check of the driver's public value (33 words, least significant first): true
// for 1 < value < p - 1 read as an unsigned number, p the group's prime.
bool PublicValueInRange(const uint32_t* value);

}  // namespace session

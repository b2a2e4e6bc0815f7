// The handshake's messages as they travel: the request code, the tags, the sizes
// and where each field sits. The client (session/handshake.cpp) and the simulated
// driver (tools/misc_driver_sim) both build and read them from here.
#pragma once

#include <cstdint>

#include "crypto/sha1.h"

namespace session {

// The request code of the probe and of Ini1, Ini2 and Ini3:
// CTL_CODE(0x22, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr uint32_t IOCTL_MISC_SESSION = 0x222000;

// The first word of each request, little-endian.
constexpr uint32_t kTagIni1 = 0x31696E49;  // "Ini1"
constexpr uint32_t kTagIni2 = 0x32696E49;  // "Ini2"
constexpr uint32_t kTagIni3 = 0x33696E49;  // "Ini3"
// The Ini3 reply's block before it is enciphered under Ks.
constexpr uint32_t kConfirmLeft = 0x68747541;   // "Auth"
constexpr uint32_t kConfirmRight = 0x6373694D;  // "Misc"

constexpr uint32_t kNumberWords = 33;  // p, Yc, Yd and Z: 1024 bits and a zero top word
constexpr uint32_t kNumberBytes = 4 * kNumberWords;
constexpr uint32_t kMacBytes = SHA1_DIGEST_SIZE;
constexpr uint32_t kKeyBytes = 16;
constexpr uint32_t kNonceBytes = 24;  // a nonce block (the client's ends in a zero word)

// Ini1, request and reply: tag (request) or SID (reply), a number, a nonce block.
constexpr uint32_t kIni1Size = 160;
constexpr uint32_t kIni1NumberAt = 4;
constexpr uint32_t kIni1NonceAt = 136;
// Ini2 request: tag, SID, the client's proof. Reply: the driver's proof.
constexpr uint32_t kIni2RequestSize = 28;
constexpr uint32_t kIni2ReplySize = kMacBytes;
// Ini3 request: tag, SID, Ks enciphered under KEK. Reply: the confirmation block.
constexpr uint32_t kIni3RequestSize = 24;
constexpr uint32_t kIni3ReplySize = 8;
// Where the SID follows the tag in the Ini2 and Ini3 requests, and what follows it.
constexpr uint32_t kSidAt = 4;
constexpr uint32_t kIni2ProofAt = 8;
constexpr uint32_t kIni3KeyAt = 8;

}  // namespace session

// The misc-driver client: the one channel to the misc driver.
#pragma once

#include <cstdint>

#include "crypto/blowfish.h"
#include "platform/platform.h"
#include "session/handshake.h"

namespace MiscCommon {

// I/O-control codes: CTL_CODE(0x22, function, METHOD_BUFFERED, FILE_ANY_ACCESS).
using session::IOCTL_MISC_SESSION;                        // outer: probe and handshake (0x222000)
constexpr uint32_t IOCTL_MISC_CLOSE_SESSION = 0x222004;   // outer: SessionId
constexpr uint32_t IOCTL_MISC_ENCAPSULATED = 0x222008;    // outer: MessageCapsule
constexpr uint32_t IOCTL_MISC_FUNCTION = 0x222944;        // inner: MiscPacket
constexpr uint32_t IOCTL_MISC_BIOS_EXT_TABLE = 0x222968;  // inner: table number

// The driver's device-interface class {80DCC0C5-BD3E-4BC0-8A06-11EAE4AE7224}.
extern const platform::Guid MISC_INTERFACE_GUID;

// Status of a client operation.
using MiscStatus = uint32_t;
constexpr MiscStatus MISC_SUCCESS = 0;
constexpr MiscStatus MISC_FAILED = 2;  // a system call or driver exchange failed
constexpr MiscStatus MISC_INVALID_ARGUMENT = 3;
constexpr MiscStatus MISC_NO_MEMORY = 5;
constexpr MiscStatus MISC_NOT_FOUND = 6;     // not found, or authentication failed
constexpr MiscStatus MISC_NOT_READY = 8;     // driver not open; no session cipher
constexpr MiscStatus MISC_OPEN_FAILED = 11;  // the device could not be opened

// Capsule layout: PayloadLength, CapsuleSize, SessionId, then the payload.
constexpr uint32_t CAPSULE_HEADER_SIZE = 12;
// 16 + n rounded up to a multiple of 8.
constexpr uint32_t CapsuleSizeFor(uint32_t payloadLength) {
    return 16 + 8 * ((payloadLength + 7) / 8);
}
// EncapsuledRequest: SequenceNumber, RequestLength, IoControlCode, InputLength,
// OutputLength, input, four zero bytes.
constexpr uint32_t ENCAPSULED_REQUEST_OVERHEAD = 24;

// Text buffers hold this many wide characters, terminator included.
constexpr uint32_t TEXT_BUFFER_CHARS = 256;

class CMiscCommon {
  public:
    CMiscCommon();
    ~CMiscCommon();
    CMiscCommon(const CMiscCommon&) = delete;
    CMiscCommon& operator=(const CMiscCommon&) = delete;

    MiscStatus OpenDriver();
    void CloseDriver();
    // The session handshake (or plain mode for a driver without encryption), run by
    // session::Handshake; defined in initialize.cpp.
    MiscStatus _Initialize();
    // Ends a session: asks the driver to drop sid when tellDriver, then wipes the
    // cipher's key schedule and returns its block to the heap (null: nothing to
    // release). The last-error value is what its last call left; defined in
    // initialize.cpp.
    void _EndSession(uint32_t sid, bool tellDriver, BlowfishContext* cipher);

    // A zero-filled capsule for payloadLength bytes, copied from source when given.
    // Null on allocation failure. The caller releases it with platform::HeapRelease.
    uint8_t* _InitializeMessageCapsule(uint32_t payloadLength, const void* source);
    MiscStatus _Encrypt(uint8_t* capsule);
    // Deciphers a whole, well-formed capsule (its own CapsuleSize is trusted).
    MiscStatus _Decrypt(uint8_t* capsule);
    // Deciphers a capsule received into a buffer of bufferSize bytes. A CapsuleSize
    // below 16, not 16 plus a multiple of 8, or larger than the buffer is refused
    // (status 2) before any block is touched: the field comes from the device.
    MiscStatus _Decrypt(uint8_t* capsule, uint32_t bufferSize);
    bool EncapsuledDeviceIoControl(uint32_t ioControlCode, const void* inBuffer, uint32_t inSize,
                                   void* outBuffer, uint32_t outSize, uint32_t* bytesReturned);
    MiscStatus GetBiosExtensionTable2(uint8_t* buffer, const uint32_t* size);
    MiscStatus CallMiscFunction(uint8_t* pPacket, uint32_t sizePacket);

    // Formats "MiscCommon::CMiscCommon::" + the printf-style text into LastErrorText
    // (ASCII in, wide out, at most TEXT_BUFFER_CHARS with the terminator). Does
    // nothing when LastErrorText does not exist.
    void _SetErrorText(const char* format, ...)
#if defined(__clang__)
        __attribute__((format(printf, 2, 3)))
#elif defined(__GNUC__)
        __attribute__((format(gnu_printf, 2, 3)))
#endif
        ;
    // Empties LastErrorText.
    void _ClearErrorText();

    platform::DeviceHandle _hDevice;
    wchar_t* _szVersion;
    uint32_t SessionId;
    uint32_t SequenceNumber;
    BlowfishContext* SessionCipher;
    int32_t EncryptionEnabled;
    wchar_t* LastErrorText;
};

// The single instance, constructed before the entry function runs and destroyed
// at process exit.
extern CMiscCommon g_MiscCommon;

}  // namespace MiscCommon

// MiscPacket header: FunctionCode, InLength, OutLength, Reserved, Subfunction.
constexpr uint32_t MISC_PACKET_HEADER_SIZE = 10;
constexpr uint16_t MISC_FUNCTION_CALIBRATION = 0x0114;

// Status byte of the last reply that CallMiscSubfunction received; 0 at start.
extern uint8_t LastMiscStatus;

// Sends function 0x0114 with the given subfunction and data through the global
// client; on success with Status 0 the reply data replace data.
MiscCommon::MiscStatus CallMiscSubfunction(uint16_t length, uint16_t subfunction, uint8_t* data);

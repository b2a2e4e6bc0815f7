// Message capsules: building, enciphering and deciphering them, and the
// encapsulated I/O-control exchange that carries every request after the
// handshake.

#include <cstring>

#include "common/le_bytes.h"
#include "driver_client/misc_common.h"
#include "platform/scoped.h"

namespace MiscCommon {

namespace {

// Capsule header fields.
constexpr uint32_t kPayloadLengthOffset = 0;
constexpr uint32_t kCapsuleSizeOffset = 4;
constexpr uint32_t kSessionIdOffset = 8;
constexpr uint32_t kMinimumCapsuleSize = 16;
constexpr uint32_t kBlockSize = 8;

// Payload lengths beyond this would wrap the 32-bit capsule size.
constexpr uint32_t kMaximumPayloadLength = 0xFFFFFFFFu - 32;

// EncapsuledRequest fields.
constexpr uint32_t kSequenceNumberOffset = 0;
constexpr uint32_t kRequestLengthOffset = 4;
constexpr uint32_t kIoControlCodeOffset = 8;
constexpr uint32_t kInputLengthOffset = 12;
constexpr uint32_t kOutputLengthOffset = 16;
constexpr uint32_t kInputDataOffset = 20;

constexpr uint16_t kCalibrationTable = 5;

bool WellFormedSize(uint32_t capsuleSize) {
    return capsuleSize >= kMinimumCapsuleSize &&
           (capsuleSize - kMinimumCapsuleSize) % kBlockSize == 0;
}

// _Encrypt and _Decrypt: the capsule's blocks through the session cipher in place,
// once its CapsuleSize is well formed and within bufferSize. name in the error
// texts says which of the two was called.
MiscStatus RunSessionCipher(CMiscCommon& client, uint8_t* capsule, uint32_t bufferSize,
                            bool encipher) {
    const char* name = encipher ? "_Encrypt" : "_Decrypt";
    if (capsule == nullptr) {
        client._SetErrorText("%s: capsule is NULL", name);
        return MISC_INVALID_ARGUMENT;
    }
    if (client.SessionCipher == nullptr) {
        client._SetErrorText("%s: BlowFish Context is not initialized.", name);
        return MISC_NOT_READY;
    }
    const uint32_t capsuleSize = LoadLe32(capsule + kCapsuleSizeOffset);
    if (!WellFormedSize(capsuleSize) || capsuleSize > bufferSize) {
        if (encipher) {
            client._SetErrorText("_Encrypt: invalid CapsuleSize %u.", capsuleSize);
        } else {
            client._SetErrorText("_Decrypt: invalid CapsuleSize %u for a buffer of %u bytes.",
                                 capsuleSize, bufferSize);
        }
        return MISC_FAILED;
    }
    const uint32_t blocks = (capsuleSize - kMinimumCapsuleSize) / kBlockSize;
    uint8_t* const firstBlock = capsule + CAPSULE_HEADER_SIZE;
    const uint32_t done = encipher
                              ? BlowfishEncipherBlocks(client.SessionCipher, firstBlock, blocks)
                              : BlowfishDecipherBlocks(client.SessionCipher, firstBlock, blocks);
    if (done != blocks) {
        client._SetErrorText("%s: BlowFish %s failed. i = %d", name,
                             encipher ? "Encipher" : "Decipher", static_cast<int>(done));
        return MISC_FAILED;
    }
    return MISC_SUCCESS;
}

// The EncapsuledRequest for ioControlCode in its capsule, stamped with the session
// and enciphered when the session is. Null, with the text and last-error value
// set, when it cannot be built; sizes that would wrap 32 bits are treated as
// allocations that cannot be made. The caller releases the capsule.
uint8_t* BuildRequestCapsule(CMiscCommon& client, uint32_t ioControlCode, const void* inBuffer,
                             uint32_t inSize, uint32_t outSize) {
    const uint32_t requestLength = inSize + ENCAPSULED_REQUEST_OVERHEAD;
    const platform::ScopedHeapBlock<uint8_t> request(
        inSize <= kMaximumPayloadLength - ENCAPSULED_REQUEST_OVERHEAD
            ? static_cast<uint8_t*>(platform::HeapAllocZeroed(requestLength))
            : nullptr);
    if (!request.IsValid()) {
        client._SetErrorText("EncapsuledDeviceIoControl: HeapAlloc failed.");
        platform::SetLastErrorValue(platform::kErrorNotEnoughMemory);
        return nullptr;
    }
    StoreLe32(request.Get() + kSequenceNumberOffset, client.SequenceNumber);
    StoreLe32(request.Get() + kRequestLengthOffset, requestLength);
    StoreLe32(request.Get() + kIoControlCodeOffset, ioControlCode);
    StoreLe32(request.Get() + kInputLengthOffset, inSize);
    StoreLe32(request.Get() + kOutputLengthOffset, outSize);
    if (inBuffer != nullptr) {
        // Copied before anything is written to the output, which may be the same buffer.
        std::memcpy(request.Get() + kInputDataOffset, inBuffer, inSize);
    }

    platform::ScopedHeapBlock<uint8_t> capsule(
        client._InitializeMessageCapsule(requestLength, request.Get()));
    if (!capsule.IsValid()) {
        platform::SetLastErrorValue(platform::kErrorNotEnoughMemory);
        return nullptr;
    }
    StoreLe32(capsule.Get() + kSessionIdOffset, client.SessionId);
    if (client.EncryptionEnabled != 0 && client._Encrypt(capsule.Get()) != MISC_SUCCESS) {
        platform::SetLastErrorValue(platform::kErrorInternalError);
        return nullptr;
    }
    return capsule.Release();
}

// The reply of got bytes in a buffer of replySize: checked, deciphered when the
// session is enciphered, and its payload copied to outBuffer, never more than
// outSize bytes and never past the reply buffer, whatever the device claims. False
// for a reply shorter than a capsule header, one that does not decipher, or a
// payload longer than outSize (what fits is copied); *lastError then says why.
bool CheckAndCopyOut(CMiscCommon& client, uint8_t* reply, uint32_t replySize, uint32_t got,
                     void* outBuffer, uint32_t outSize, uint32_t* bytesReturned,
                     uint32_t* lastError) {
    if (got < CAPSULE_HEADER_SIZE) {
        client._SetErrorText("EncapsuledDeviceIoControl: Invalid structure returned. size = %d",
                             static_cast<int>(got));
        return false;
    }
    if (client.EncryptionEnabled != 0 && client._Decrypt(reply, replySize) != MISC_SUCCESS) {
        *lastError = platform::kErrorInternalError;
        return false;
    }
    const uint32_t payloadLength = LoadLe32(reply + kPayloadLengthOffset);
    uint32_t available = replySize - CAPSULE_HEADER_SIZE;
    if (available > outSize) {
        available = outSize;
    }
    if (payloadLength > outSize) {
        if (available > 0) {
            std::memcpy(outBuffer, reply + CAPSULE_HEADER_SIZE, available);
        }
        *bytesReturned = available;
        *lastError = platform::kErrorMoreData;
        return false;
    }
    if (payloadLength > 0) {
        std::memcpy(outBuffer, reply + CAPSULE_HEADER_SIZE, payloadLength);
        *bytesReturned = payloadLength;
    }
    return true;
}

}  // namespace

uint8_t* CMiscCommon::_InitializeMessageCapsule(uint32_t payloadLength, const void* source) {
    uint8_t* capsule = nullptr;
    if (payloadLength <= kMaximumPayloadLength) {
        capsule = static_cast<uint8_t*>(platform::HeapAllocZeroed(CapsuleSizeFor(payloadLength)));
    }
    if (capsule == nullptr) {
        // A size past 32 bits fails as an allocation would.
        _SetErrorText("_InitializeMessageCapsule: HeapAlloc failed.");
        platform::SetLastErrorValue(platform::kErrorNotEnoughMemory);
        return nullptr;
    }
    StoreLe32(capsule + kPayloadLengthOffset, payloadLength);
    StoreLe32(capsule + kCapsuleSizeOffset, CapsuleSizeFor(payloadLength));
    if (source != nullptr && payloadLength > 0) {
        std::memcpy(capsule + CAPSULE_HEADER_SIZE, source, payloadLength);
    }
    return capsule;
}

MiscStatus CMiscCommon::_Encrypt(uint8_t* capsule) {
    // A capsule this client builds: its own CapsuleSize bounds it.
    return RunSessionCipher(*this, capsule, 0xFFFFFFFFu, /*encipher=*/true);
}

MiscStatus CMiscCommon::_Decrypt(uint8_t* capsule) {
    const uint32_t trusted = capsule != nullptr ? LoadLe32(capsule + kCapsuleSizeOffset) : 0;
    return _Decrypt(capsule, trusted);
}

MiscStatus CMiscCommon::_Decrypt(uint8_t* capsule, uint32_t bufferSize) {
    return RunSessionCipher(*this, capsule, bufferSize, /*encipher=*/false);
}

bool CMiscCommon::EncapsuledDeviceIoControl(uint32_t ioControlCode, const void* inBuffer,
                                            uint32_t inSize, void* outBuffer, uint32_t outSize,
                                            uint32_t* bytesReturned) {
    if ((inBuffer == nullptr) != (inSize == 0) || (outBuffer == nullptr) != (outSize == 0) ||
        bytesReturned == nullptr) {
        _SetErrorText("EncapsuledDeviceIoControl: Invalid Argument(s).");
        platform::SetLastErrorValue(platform::kErrorInvalidParameter);
        return false;
    }
    if (EncryptionEnabled != 0 && SessionCipher == nullptr) {
        _SetErrorText("EncapsuledDeviceIoControl: Session Not Initialized.");
        platform::SetLastErrorValue(platform::kErrorAccessDenied);
        return false;
    }
    *bytesReturned = 0;

    // The blocks are released on every way out, after the last-error value of that
    // way has been set.
    const platform::ScopedHeapBlock<uint8_t> capsule(
        BuildRequestCapsule(*this, ioControlCode, inBuffer, inSize, outSize));
    if (!capsule.IsValid()) {
        return false;
    }
    // A failure leaves the value that the failed allocation left.
    const platform::ScopedHeapBlock<uint8_t> reply(
        _InitializeMessageCapsule(outSize, /*source=*/nullptr));
    if (!reply.IsValid()) {
        return false;
    }
    const uint32_t replySize = CapsuleSizeFor(outSize);
    std::memset(reply.Get(), 0, replySize);

    uint32_t got = 0;
    const bool sent = platform::DeviceControl(_hDevice, IOCTL_MISC_ENCAPSULATED, capsule.Get(),
                                              LoadLe32(capsule.Get() + kCapsuleSizeOffset),
                                              reply.Get(), replySize, &got);
    uint32_t lastError = platform::GetLastErrorValue();
    if (sent || got != 0) {
        ++SequenceNumber;
    }
    const bool copied = CheckAndCopyOut(*this, reply.Get(), replySize, got, outBuffer, outSize,
                                        bytesReturned, &lastError);
    platform::SetLastErrorValue(lastError);
    return sent && copied;
}

MiscStatus CMiscCommon::GetBiosExtensionTable2(uint8_t* buffer, const uint32_t* size) {
    if (_hDevice == nullptr || _hDevice == platform::InvalidDeviceHandle()) {
        return MISC_NOT_READY;
    }
    if (size == nullptr || (buffer == nullptr && *size == 0)) {
        return MISC_INVALID_ARGUMENT;
    }
    uint8_t tableNumber[2];
    StoreLe16(tableNumber, kCalibrationTable);
    uint32_t returned = 0;
    if (!EncapsuledDeviceIoControl(IOCTL_MISC_BIOS_EXT_TABLE, tableNumber, sizeof tableNumber,
                                   buffer, *size, &returned)) {
        const uint32_t error = platform::GetLastErrorValue();
        _SetErrorText("GetBiosExtensionTable2: DeviceIoControl failed.");
        platform::SetLastErrorValue(error);
        return MISC_FAILED;
    }
    return MISC_SUCCESS;
}

}  // namespace MiscCommon

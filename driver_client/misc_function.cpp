// Misc-function calls: one MiscPacket through the encapsulated exchange, sent a
// second time when the driver answers that it is busy.

#include <cstring>

#include "common/le_bytes.h"
#include "driver_client/misc_common.h"
#include "platform/scoped.h"

uint8_t LastMiscStatus = 0;

namespace {

// MiscPacket fields.
constexpr uint32_t kFunctionCodeOffset = 0;
constexpr uint32_t kInLengthOffset = 2;
constexpr uint32_t kOutLengthOffset = 4;
constexpr uint32_t kSubfunctionOffset = 8;

constexpr uint8_t kStatusSuccess = 0;
constexpr uint8_t kStatusBusy = 4;
constexpr uint32_t kBusyRetryDelayMs = 100;

}  // namespace

namespace MiscCommon {

MiscStatus CMiscCommon::CallMiscFunction(uint8_t* pPacket, uint32_t sizePacket) {
    if (_hDevice == nullptr || _hDevice == platform::InvalidDeviceHandle()) {
        _SetErrorText("CallMiscFunction: _hDevice is NULL");
        return MISC_NOT_READY;
    }
    if (pPacket == nullptr) {
        _SetErrorText("CallMiscFunction: pPacket is NULL");
        return MISC_INVALID_ARGUMENT;
    }
    if (sizePacket == 0) {
        _SetErrorText("CallMiscFunction: sizePacket is '0'");
        return MISC_INVALID_ARGUMENT;
    }
    // The retry resends the request as first sent, not the busy reply.
    // The owner releases the copy on every way out without disturbing the
    // last-error value that way leaves.
    const platform::ScopedHeapBlock<uint8_t> saved(
        static_cast<uint8_t*>(platform::HeapAllocZeroed(sizePacket)));
    if (!saved.IsValid()) {
        const uint32_t error = platform::GetLastErrorValue();
        _SetErrorText("CallMiscFunction: HeapAlloc failed.");
        platform::SetLastErrorValue(error);
        return MISC_NO_MEMORY;
    }
    std::memcpy(saved.Get(), pPacket, sizePacket);

    bool retried = false;
    for (;;) {
        const uint32_t inLength = LoadLe16(pPacket + kInLengthOffset);
        const uint32_t outLength = LoadLe16(pPacket + kOutLengthOffset);
        uint32_t returned = 0;
        if (!EncapsuledDeviceIoControl(IOCTL_MISC_FUNCTION, pPacket, inLength, pPacket, outLength,
                                       &returned)) {
            const uint32_t error = platform::GetLastErrorValue();
            _SetErrorText("CallMiscFunction: DeviceIoControl failed.");
            platform::SetLastErrorValue(error);
            return MISC_FAILED;
        }
        if (retried || pPacket[kFunctionCodeOffset] != kStatusBusy) {
            break;
        }
        platform::SleepMilliseconds(kBusyRetryDelayMs);
        std::memcpy(pPacket, saved.Get(), sizePacket);
        retried = true;
    }

    _ClearErrorText();
    return MISC_SUCCESS;
}

}  // namespace MiscCommon

MiscCommon::MiscStatus CallMiscSubfunction(uint16_t length, uint16_t subfunction, uint8_t* data) {
    const uint32_t packetSize = MISC_PACKET_HEADER_SIZE + length;
    const platform::ScopedHeapBlock<uint8_t> packetBlock(
        static_cast<uint8_t*>(platform::HeapAllocZeroed(packetSize)));
    uint8_t* const packet = packetBlock.Get();
    if (packet == nullptr) {
        return MiscCommon::MISC_NO_MEMORY;
    }
    StoreLe16(packet + kFunctionCodeOffset, MISC_FUNCTION_CALIBRATION);
    StoreLe16(packet + kInLengthOffset, static_cast<uint16_t>(packetSize));
    StoreLe16(packet + kOutLengthOffset, static_cast<uint16_t>(packetSize));
    StoreLe16(packet + kSubfunctionOffset, subfunction);
    if (length > 0) {
        std::memcpy(packet + MISC_PACKET_HEADER_SIZE, data, length);
    }

    const MiscCommon::MiscStatus result =
        MiscCommon::g_MiscCommon.CallMiscFunction(packet, LoadLe16(packet + kOutLengthOffset));
    if (result == MiscCommon::MISC_SUCCESS) {
        LastMiscStatus = packet[kFunctionCodeOffset];
        if (LastMiscStatus == kStatusSuccess && length > 0) {
            std::memcpy(data, packet + MISC_PACKET_HEADER_SIZE, length);
        }
    }
    return result;
}

// The driver-client object: construction, discovery and opening of the misc
// driver, closing it, and the failure-text helpers.

#include "driver_client/misc_common.h"

#include <cstdarg>
#include <cstdio>

#include "platform/scoped.h"

namespace MiscCommon {

const platform::Guid MISC_INTERFACE_GUID = {
    0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};

CMiscCommon g_MiscCommon;

namespace {

// The registry read allows 128 UTF-16 characters although the buffer holds 256.
constexpr uint32_t kVersionReadBytes = 256;

bool IsOpenHandle(platform::DeviceHandle handle) {
    return handle != nullptr && handle != platform::InvalidDeviceHandle();
}

// Every failure of OpenDriver leaves its text, its status and the last-error value
// of its own rule; the owners release what was acquired without disturbing that value.
MiscStatus FailOpen(CMiscCommon& client, const char* what, MiscStatus status, uint32_t error) {
    client._SetErrorText("OpenDriver: %s", what);
    platform::SetLastErrorValue(error);
    return status;
}

// The detail record (the device path) of the class's first interface in set, in a
// block that detail then owns, and the device it belongs to.
MiscStatus GetInterfaceDetail(CMiscCommon& client, platform::DeviceInfoSet set,
                              platform::ScopedHeapBlock<void>* detail,
                              platform::DeviceInfo* deviceInfo) {
    platform::DeviceInterface deviceInterface = {};
    if (!platform::EnumDeviceInterface(set, &MISC_INTERFACE_GUID, /*index=*/0, &deviceInterface)) {
        return FailOpen(client, "SetupDiEnumDeviceInterfaces failed.", MISC_NOT_FOUND,
                        platform::GetLastErrorValue());
    }
    // The size query fails by design; only ERROR_INSUFFICIENT_BUFFER tells the size.
    uint32_t requiredSize = 0;
    platform::GetDeviceInterfaceDetail(set, &deviceInterface, /*detail=*/nullptr,
                                       /*detailSize=*/0, &requiredSize, /*deviceInfo=*/nullptr);
    if (platform::GetLastErrorValue() != platform::kErrorInsufficientBuffer) {
        return FailOpen(client, "SetupDiGetDeviceInterfaceDetail (First time) failed.", MISC_FAILED,
                        platform::GetLastErrorValue());
    }
    detail->Reset(platform::HeapAllocZeroed(requiredSize));
    if (!detail->IsValid()) {
        return FailOpen(client, "HeapAlloc failed.", MISC_NO_MEMORY, platform::GetLastErrorValue());
    }
    if (!platform::GetDeviceInterfaceDetail(set, &deviceInterface, detail->Get(), requiredSize,
                                            /*requiredSize=*/nullptr, deviceInfo)) {
        return FailOpen(client, "SetupDiGetDeviceInterfaceDetail (Second time) failed.",
                        MISC_FAILED, platform::GetLastErrorValue());
    }
    return MISC_SUCCESS;
}

// The driver's DriverVersion from its registry key into client._szVersion.
MiscStatus ReadDriverVersion(CMiscCommon& client, platform::DeviceInfoSet set,
                             platform::DeviceInfo* deviceInfo) {
    platform::ScopedRegistryKey key(platform::OpenDriverKey(set, deviceInfo));
    if (!key.IsValid()) {
        return FailOpen(client, "SetupDiOpenDevRegKey failed.", MISC_FAILED,
                        platform::GetLastErrorValue());
    }
    platform::ScopedHeapBlock<wchar_t> version(
        static_cast<wchar_t*>(platform::HeapAllocZeroed(TEXT_BUFFER_CHARS * sizeof(wchar_t))));
    if (!version.IsValid()) {
        // The allocation's ERROR_NOT_ENOUGH_MEMORY, as every other failure here
        // leaves its own call's value.
        return FailOpen(client, "_szVersion array initialize failed.", MISC_FAILED,
                        platform::GetLastErrorValue());
    }
    uint32_t sizeBytes = kVersionReadBytes;
    // The registry reports its failure as the returned code, which stands in for
    // the last-error value here.
    const uint32_t error =
        platform::QueryRegistryString(key.Get(), L"DriverVersion", version.Get(), &sizeBytes);
    if (error != platform::kErrorSuccess) {
        return FailOpen(client, "RegQueryValueEx failed.", MISC_FAILED, error);
    }
    client._szVersion = version.Release();
    return MISC_SUCCESS;
}

}  // namespace

CMiscCommon::CMiscCommon()
    : _hDevice(platform::InvalidDeviceHandle()),
      _szVersion(nullptr),
      SessionId(0),
      SequenceNumber(0),
      SessionCipher(nullptr),
      EncryptionEnabled(1),
      LastErrorText(nullptr) {
    LastErrorText =
        static_cast<wchar_t*>(platform::HeapAllocZeroed(TEXT_BUFFER_CHARS * sizeof(wchar_t)));
}

CMiscCommon::~CMiscCommon() {
    CloseDriver();
    platform::HeapRelease(LastErrorText);
    LastErrorText = nullptr;
    platform::HeapRelease(_szVersion);
    _szVersion = nullptr;
}

void CMiscCommon::_SetErrorText(const char* format, ...) {
    if (LastErrorText == nullptr) {
        return;
    }
    char text[TEXT_BUFFER_CHARS];
    int prefix = std::snprintf(text, sizeof text, "MiscCommon::CMiscCommon::");
    if (prefix < 0) {
        prefix = 0;
    }
    va_list args;
    va_start(args, format);
    std::vsnprintf(text + prefix, sizeof text - static_cast<size_t>(prefix), format, args);
    va_end(args);
    uint32_t i = 0;
    for (; i + 1 < TEXT_BUFFER_CHARS && text[i] != '\0'; ++i) {
        LastErrorText[i] = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    }
    LastErrorText[i] = L'\0';
}

void CMiscCommon::_ClearErrorText() {
    if (LastErrorText != nullptr) {
        LastErrorText[0] = L'\0';
    }
}

MiscStatus CMiscCommon::OpenDriver() {
    platform::ScopedDeviceInfoSet set(platform::OpenDeviceInfoSet(&MISC_INTERFACE_GUID));
    if (!set.IsValid()) {
        return FailOpen(*this, "SetupDiGetClassDevs failed.", MISC_FAILED,
                        platform::GetLastErrorValue());
    }
    platform::ScopedHeapBlock<void> detail;
    platform::DeviceInfo deviceInfo = {};
    MiscStatus status = GetInterfaceDetail(*this, set.Get(), &detail, &deviceInfo);
    if (status == MISC_SUCCESS && _szVersion == nullptr) {
        status = ReadDriverVersion(*this, set.Get(), &deviceInfo);
    }
    if (status != MISC_SUCCESS) {
        return status;
    }
    set.Reset();

    // Kept in a local so that a failed open never overwrites a handle we hold.
    platform::DeviceHandle device = platform::OpenDevice(platform::DevicePathOf(detail.Get()));
    if (!IsOpenHandle(device)) {
        return FailOpen(*this, "CreateFile failed.", MISC_OPEN_FAILED,
                        platform::GetLastErrorValue());
    }
    _hDevice = device;
    _ClearErrorText();
    return MISC_SUCCESS;
}

void CMiscCommon::CloseDriver() {
    if (!IsOpenHandle(_hDevice)) {
        return;
    }
    if (SessionCipher != nullptr) {
        _EndSession(SessionId, /*tellDriver=*/true, SessionCipher);
        SessionCipher = nullptr;
        SessionId = 0;
        SequenceNumber = 0;
    }
    platform::CloseDevice(_hDevice);
    _hDevice = platform::InvalidDeviceHandle();
}

}  // namespace MiscCommon

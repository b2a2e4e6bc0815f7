// The session handshake: plain-mode-only version. It sends the encryption probe
// and accepts only a driver that answers it does not support encryption; the
// full Diffie-Hellman handshake replaces this file.

#include "driver_client/misc_common.h"

namespace MiscCommon {

MiscStatus CMiscCommon::_Initialize() {
    uint32_t returned = 0;
    // The decision rests on the last-error value alone; clear it so a value left
    // by an earlier call cannot pass for the driver's answer.
    platform::SetLastErrorValue(platform::kErrorSuccess);
    platform::DeviceControl(_hDevice, IOCTL_MISC_SESSION, /*inBuffer=*/nullptr, /*inSize=*/0,
                            /*outBuffer=*/nullptr, /*outSize=*/0, &returned);
    if (platform::GetLastErrorValue() == platform::kErrorNotSupported) {
        EncryptionEnabled = 0;
        return MISC_SUCCESS;
    }
    _SetErrorText("_Initialize: the driver requires encryption, which this build cannot set up.");
    return MISC_FAILED;
}

}  // namespace MiscCommon

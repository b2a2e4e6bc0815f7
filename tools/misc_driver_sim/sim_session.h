// The driver's side of the secure session: probe, Ini1/Ini2/Ini3 and the capsule
// cipher.
#pragma once

#include <cstdint>
#include <string>

#include "tools/misc_driver_sim/sim.h"

namespace misc_sim {

// IOCTL_MISC_SESSION: the probe and the three handshake messages.
Reply SessionRequest(Device* device, const Request& request, std::string* note);
// Drops the handle's session, wiping its keys.
void ForgetSession(Handle* handle);
// ECB over bytes 12 to size - 5 of a capsule, under the session key.
void EncipherCapsule(Handle* handle, uint8_t* capsule, uint32_t size);
void DecipherCapsule(Handle* handle, uint8_t* capsule, uint32_t size);

}  // namespace misc_sim

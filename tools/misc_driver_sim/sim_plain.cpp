// Plain-mode session handling until the handshake is built in: the probe says
// that encryption is not supported, so the client stays in plain mode.
#include "tools/misc_driver_sim/sim_session.h"

#include "crypto/wipe.h"

namespace misc_sim {

Reply SessionRequest(Device* /*device*/, const Request& /*request*/, std::string* note) {
    *note = "session: not supported";
    Reply reply;
    reply.error = 50;
    return reply;
}

void ForgetSession(Handle* handle) {
    SecureWipe(handle, sizeof *handle);
    *handle = Handle();
}

void EncipherCapsule(Handle*, uint8_t*, uint32_t) {}
void DecipherCapsule(Handle*, uint8_t*, uint32_t) {}
void InstallSession(Handle*, uint32_t, const uint8_t*) {}

}  // namespace misc_sim

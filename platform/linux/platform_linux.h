// Extras of the Linux backend, beyond platform/platform.h.
#pragma once

#include <cstdint>

namespace platform {
namespace linuxbackend {

// How long one device exchange (open status, or request and reply) may take
// before it fails with ERROR_GEN_FAILURE. The real driver answers synchronously,
// so the default is generous; tests shorten it to see a silent device fail.
constexpr uint32_t kDefaultExchangeTimeoutMs = 30000;
void SetExchangeTimeoutMilliseconds(uint32_t milliseconds);

// Hands main's arguments to the backend, for CommandLineArguments: the program
// needs no /proc to learn them. argv must stay valid while they are read.
void SetCommandLine(int argc, char** argv);

}  // namespace linuxbackend
}  // namespace platform

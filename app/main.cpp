#include "app/app.h"
#include "platform/linux/platform_linux.h"

int main(int argc, char** argv) {
    // The entry function reads its arguments through the platform layer, as on Windows.
    platform::linuxbackend::SetCommandLine(argc, argv);
    return QuellixMain();
}

// device-probe: the platform layer's driver path, step by step, for the end-to-end
// tests of the device contract. Built with each backend (Linux, and Windows where it
// runs under Wine through the bridge), so the same script must give the same lines.
//
//   device-probe [CODE:INPUTHEX:OUTSIZE ...]
//
// Finds the first present interface of the misc class and prints
//   version <text> | version error <n>      its DriverVersion
//   open error <n> | open                   opening its device path
// then, for each argument, one exchange:
//   ok <returned> <outputhex> | fail <error> <returned> <outputhex>
// and closes the device. Exit status 0 once the device was opened, else 1.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

constexpr platform::Guid kMiscInterface = {
    0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};

std::string Hex(const uint8_t* bytes, uint32_t size) {
    std::string text;
    char pair[3];
    for (uint32_t i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text.empty() ? "-" : text;
}

bool ParseExchange(const char* text, uint32_t* code, std::vector<uint8_t>* input,
                   uint32_t* outSize) {
    char* end = nullptr;
    *code = static_cast<uint32_t>(std::strtoul(text, &end, 16));
    if (*end != ':') {
        return false;
    }
    const char* at = end + 1;
    while (at[0] != ':' && at[0] != '\0' && at[1] != '\0') {
        const char pair[3] = {at[0], at[1], '\0'};
        input->push_back(static_cast<uint8_t>(std::strtoul(pair, nullptr, 16)));
        at += 2;
    }
    if (*at != ':') {
        return false;
    }
    *outSize = static_cast<uint32_t>(std::strtoul(at + 1, &end, 10));
    return *end == '\0';
}

// The first present interface's path and version, as OpenDriver finds them.
bool Discover(std::wstring* path) {
    platform::DeviceInfoSet set = platform::OpenDeviceInfoSet(&kMiscInterface);
    platform::DeviceInterface deviceInterface{};
    if (set == nullptr ||
        !platform::EnumDeviceInterface(set, &kMiscInterface, 0, &deviceInterface)) {
        std::printf("no interface\n");
        platform::DestroyDeviceInfoSet(set);
        return false;
    }
    uint32_t required = 0;
    platform::GetDeviceInterfaceDetail(set, &deviceInterface, nullptr, 0, &required, nullptr);
    void* detail = platform::HeapAllocZeroed(required);
    platform::DeviceInfo info{};
    const bool found =
        detail != nullptr &&
        platform::GetDeviceInterfaceDetail(set, &deviceInterface, detail, required, nullptr, &info);
    if (found) {
        *path = platform::DevicePathOf(detail);
        platform::RegistryKey key = platform::OpenDriverKey(set, &info);
        wchar_t version[128] = {};
        uint32_t size = sizeof version;
        const uint32_t error =
            key != nullptr ? platform::QueryRegistryString(key, L"DriverVersion", version, &size)
                           : platform::GetLastErrorValue();
        if (error == 0) {
            std::printf("version ");
            for (const wchar_t* c = version; *c != L'\0'; ++c) {
                std::printf(*c >= 0x20 && *c < 0x7F ? "%c" : "\\u%04x", static_cast<unsigned>(*c));
            }
            std::printf("\n");
        } else {
            std::printf("version error %" PRIu32 "\n", error);
        }
        platform::CloseRegistryKey(key);
    }
    platform::HeapRelease(detail);
    platform::DestroyDeviceInfoSet(set);
    return found;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);  // the lines as on Linux, without CR
#endif
    std::wstring path;
    if (!Discover(&path)) {
        return 1;
    }
    platform::DeviceHandle device = platform::OpenDevice(path.c_str());
    if (device == platform::InvalidDeviceHandle()) {
        std::printf("open error %" PRIu32 "\n", platform::GetLastErrorValue());
        return 1;
    }
    std::printf("open\n");
    for (int i = 1; i < argc; ++i) {
        uint32_t code = 0;
        uint32_t outSize = 0;
        std::vector<uint8_t> input;
        if (!ParseExchange(argv[i], &code, &input, &outSize)) {
            std::printf("bad argument %s\n", argv[i]);
            break;
        }
        std::vector<uint8_t> output(outSize + 1u, 0);
        uint32_t returned = 0;
        const bool ok =
            platform::DeviceControl(device, code, input.empty() ? nullptr : input.data(),
                                    static_cast<uint32_t>(input.size()),
                                    outSize > 0 ? output.data() : nullptr, outSize, &returned);
        const std::string out = Hex(output.data(), returned <= outSize ? returned : 0);
        if (ok) {
            std::printf("ok %" PRIu32 " %s\n", returned, out.c_str());
        } else {
            std::printf("fail %" PRIu32 " %" PRIu32 " %s\n", platform::GetLastErrorValue(),
                        returned, out.c_str());
        }
    }
    std::fflush(stdout);
    platform::CloseDevice(device);
    return 0;
}

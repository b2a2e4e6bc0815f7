// bridge_sync.exe: makes a Wine prefix's misc-driver interfaces exactly the ones
// described on standard input, and points the bridge driver at them. Run by
// scripts/wine-run.sh before each program, under the 64-bit loader.
//
// Input, one line each, every variable field in hexadecimal (any byte may occur):
//   relay PORT TOKEN                      the relay on 127.0.0.1:PORT, its 16-byte token
//   interface PRESENT VERSION SOCKET      one interface folder, in the folders' order:
//                                         PRESENT 1 or 0, VERSION the bytes of its
//                                         DriverVersion file or "-" when it has none,
//                                         SOCKET the path of its device socket
//   end                                   the last line: without it the description
//                                         was cut short, and nothing is changed
// Each interface becomes a root device ROOT\QUELLIXBRIDGE\NNNN (NNNN its position)
// with one interface of the misc class, DriverVersion in its driver key (the file's
// UTF-8 text less one trailing newline) and, when present, the interface's Linked
// mark, so SetupAPI enumerates the present ones in that order. The bridge driver's
// service is created and started when it is not running (--reload: stopped and
// started again, for a new driver file) and given the present interfaces' links.
//
// Exit status 0 when the prefix is in that state, 1 otherwise (a line on stderr).
#include <windows.h>

#include <setupapi.h>
#include <winsvc.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/wine_bridge/bridge_protocol.h"

namespace {

const GUID kMiscInterfaceClass = {
    0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};
const GUID kSystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const wchar_t kEnumerator[] = L"ROOT\\QUELLIXBRIDGE";
const wchar_t kInterfaceKeys[] =
    L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}";
const wchar_t kDriverFile[] = L"C:\\windows\\system32\\drivers\\quellix_bridge.sys";

struct Interface {
    bool present = false;
    bool hasVersion = false;
    std::string version;  // the file's bytes
    std::string socket;
};

struct Description {
    uint32_t port = 0;
    std::string token;
    std::vector<Interface> interfaces;
};

bool Fail(const char* what, DWORD error) {
    std::fprintf(stderr, "bridge_sync: %s failed (error %lu)\n", what,
                 static_cast<unsigned long>(error));
    return false;
}

bool FromHex(const std::string& hex, std::string* bytes) {
    if (hex.size() % 2 != 0) {
        return false;
    }
    bytes->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int value = 0;
        for (size_t j = i; j < i + 2; ++j) {
            const char c = hex[j];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                return false;
            }
            value = value * 16 + digit;
        }
        bytes->push_back(static_cast<char>(value));
    }
    return true;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < line.size()) {
        const size_t end = line.find(' ', at);
        words.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? line.size() : end + 1;
    }
    return words;
}

bool ReadDescription(std::FILE* in, Description* out) {
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
        text.append(chunk, n);
    }
    bool relay = false;
    bool ended = false;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::vector<std::string> w = Words(line);
        if (ended) {
            return false;  // nothing may follow the end
        } else if (line == "end") {
            ended = true;
        } else if (w.size() == 3 && w[0] == "relay") {
            out->port = static_cast<uint32_t>(std::strtoul(w[1].c_str(), nullptr, 10));
            relay = FromHex(w[2], &out->token) && out->token.size() == BRIDGE_TOKEN_SIZE &&
                    out->port > 0 && out->port <= 0xFFFF;
            if (!relay) {
                return false;
            }
        } else if (w.size() == 4 && w[0] == "interface" && (w[1] == "0" || w[1] == "1")) {
            Interface i;
            i.present = w[1] == "1";
            i.hasVersion = w[2] != "-";
            if ((i.hasVersion && !FromHex(w[2], &i.version)) || !FromHex(w[3], &i.socket) ||
                i.socket.empty() || i.socket.size() > BRIDGE_MAX_SOCKET_PATH) {
                return false;
            }
            out->interfaces.push_back(i);
        } else if (!line.empty()) {
            return false;
        }
    }
    return relay && ended && out->interfaces.size() <= BRIDGE_MAX_INTERFACES;
}

// ---------------------------------------------------------------------------
// The driver's service

bool WaitForState(SC_HANDLE service, DWORD wanted, SERVICE_STATUS* status) {
    for (int i = 0; i < 100; ++i) {
        if (!QueryServiceStatus(service, status)) {
            return false;
        }
        if (status->dwCurrentState == wanted || status->dwCurrentState == SERVICE_STOPPED) {
            return status->dwCurrentState == wanted;
        }
        Sleep(50);
    }
    return false;
}

bool EnsureDriverRunning(bool reload) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return Fail("OpenSCManager", GetLastError());
    }
    SC_HANDLE service = OpenServiceW(manager, BRIDGE_SERVICE, SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        service = CreateServiceW(manager, BRIDGE_SERVICE, BRIDGE_SERVICE, SERVICE_ALL_ACCESS,
                                 SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                 kDriverFile, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    bool ok = service != nullptr;
    if (!ok) {
        Fail("CreateService", GetLastError());
    }
    SERVICE_STATUS status{};
    if (ok && reload && QueryServiceStatus(service, &status) &&
        status.dwCurrentState != SERVICE_STOPPED) {
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        ok = WaitForState(service, SERVICE_STOPPED, &status);
        if (!ok) {
            Fail("stopping the bridge driver", status.dwCurrentState);
        }
    }
    // Started right after it was created, a driver may stop at once with 1077; it
    // starts on the next try.
    bool running = false;
    for (int attempt = 0; ok && !running && attempt < 5; ++attempt) {
        if (!QueryServiceStatus(service, &status)) {
            ok = Fail("QueryServiceStatus", GetLastError());
            break;
        }
        if (status.dwCurrentState == SERVICE_RUNNING) {
            running = true;
            break;
        }
        if (status.dwCurrentState == SERVICE_STOPPED && !StartServiceW(service, 0, nullptr) &&
            GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
            Sleep(100);
            continue;
        }
        running = WaitForState(service, SERVICE_RUNNING, &status);
    }
    if (ok && !running) {
        ok = Fail("starting the bridge driver", status.dwWin32ExitCode);
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return ok;
}

// wine-run.sh sees message boxes in Wine's relay trace: MessageBoxW must be among
// the functions the prefix traces. Other entries are kept.
bool TraceMessageBoxes() {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Debug", 0, nullptr, 0,
                        KEY_READ | KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return Fail("opening Wine's debug settings", GetLastError());
    }
    wchar_t value[2048] = L"";
    DWORD size = sizeof value - sizeof(wchar_t);
    DWORD type = 0;
    std::wstring include;
    if (RegQueryValueExW(key, L"RelayInclude", nullptr, &type, reinterpret_cast<BYTE*>(value),
                         &size) == ERROR_SUCCESS &&
        type == REG_SZ) {
        include = value;
    }
    LSTATUS written = ERROR_SUCCESS;
    if ((L";" + include + L";").find(L";user32.MessageBoxW;") == std::wstring::npos) {
        include = include.empty() ? L"user32.MessageBoxW" : include + L";user32.MessageBoxW";
        written = RegSetValueExW(key, L"RelayInclude", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(include.c_str()),
                                 static_cast<DWORD>((include.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
    return written == ERROR_SUCCESS || Fail("setting RelayInclude", static_cast<DWORD>(written));
}

// ---------------------------------------------------------------------------
// SetupAPI registration

// Removes every device and interface registered by an earlier run.
void RemoveEarlierInterfaces() {
    HDEVINFO all = SetupDiGetClassDevsW(nullptr, kEnumerator, nullptr, DIGCF_ALLCLASSES);
    if (all != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(all, i, &info); ++i) {
            SetupDiRemoveDevice(all, &info);
        }
        SetupDiDestroyDeviceInfoList(all);
    }
    HKEY keys = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInterfaceKeys, 0, KEY_ALL_ACCESS, &keys) !=
        ERROR_SUCCESS) {
        return;
    }
    std::vector<std::wstring> ours;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof name / sizeof name[0];
        if (RegEnumKeyExW(keys, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        if (std::wcsstr(name, L"#QUELLIXBRIDGE#") != nullptr ||
            std::wcsstr(name, L"#quellixbridge#") != nullptr) {
            ours.push_back(name);
        }
    }
    for (const std::wstring& key : ours) {
        RegDeleteTreeW(keys, key.c_str());
    }
    RegCloseKey(keys);
}

std::wstring Utf16(const std::string& utf8) {
    if (utf8.empty()) {
        return std::wstring();
    }
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], length);
    return wide;
}

// Writes the interface's DriverVersion (its last line feed left out) into the
// device's driver key, which is created either way.
bool WriteDriverVersion(HDEVINFO devices, SP_DEVINFO_DATA* info, const Interface& entry) {
    HKEY driverKey =
        SetupDiCreateDevRegKeyW(devices, info, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr);
    if (driverKey == INVALID_HANDLE_VALUE) {
        return Fail("SetupDiCreateDevRegKey", GetLastError());
    }
    LSTATUS written = ERROR_SUCCESS;
    if (entry.hasVersion) {
        std::string text = entry.version;
        if (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        const std::wstring value = Utf16(text);
        written = RegSetValueExW(driverKey, L"DriverVersion", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(driverKey);
    if (written != ERROR_SUCCESS) {
        return Fail("writing DriverVersion", static_cast<DWORD>(written));
    }
    return true;
}

// The interface's path as SetupAPI reports it: the name the driver must link.
bool InterfacePath(HDEVINFO devices, SP_DEVICE_INTERFACE_DATA* iface, std::wstring* path) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(devices, iface, nullptr, 0, &required, nullptr);
    std::vector<uint8_t> buffer(required > 0 ? required : 1);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof *detail;
    if (required < sizeof *detail ||
        !SetupDiGetDeviceInterfaceDetailW(devices, iface, detail, required, nullptr, nullptr)) {
        return Fail("SetupDiGetDeviceInterfaceDetail", GetLastError());
    }
    *path = detail->DevicePath;  // \\?\ROOT#QUELLIXBRIDGE#NNNN#{...}
    if (path->compare(0, 4, L"\\\\?\\") != 0) {
        return Fail("reading the interface path", ERROR_BAD_PATHNAME);
    }
    return true;
}

// Marks the interface at path Linked, as a started driver does; SetupAPI then
// lists it as present.
bool MarkLinked(const std::wstring& path) {
    const std::wstring control =
        std::wstring(kInterfaceKeys) + L"\\##?#" + path.substr(4) + L"\\#\\Control";
    HKEY controlKey = nullptr;
    const DWORD linked = 1;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, control.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                        &controlKey, nullptr) != ERROR_SUCCESS) {
        return Fail("creating the interface's Control key", GetLastError());
    }
    const LSTATUS written = RegSetValueExW(controlKey, L"Linked", 0, REG_DWORD,
                                           reinterpret_cast<const BYTE*>(&linked), sizeof linked);
    RegCloseKey(controlKey);
    if (written != ERROR_SUCCESS) {
        return Fail("setting Linked", static_cast<DWORD>(written));
    }
    return true;
}

// Registers interface number `index`; for a present one, appends its link name.
bool Register(HDEVINFO devices, uint32_t index, const Interface& entry, std::wstring* link) {
    wchar_t instance[64];
    std::swprintf(instance, sizeof instance / sizeof instance[0], L"%ls\\%04u", kEnumerator,
                  static_cast<unsigned>(index));
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    if (!SetupDiCreateDeviceInfoW(devices, instance, &kSystemClass, nullptr, nullptr, 0, &info) ||
        !SetupDiRegisterDeviceInfo(devices, &info, 0, nullptr, nullptr, nullptr)) {
        return Fail("registering a device", GetLastError());
    }
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof iface;
    if (!SetupDiCreateDeviceInterfaceW(devices, &info, &kMiscInterfaceClass, nullptr, 0, &iface)) {
        return Fail("SetupDiCreateDeviceInterface", GetLastError());
    }
    std::wstring path;
    if (!WriteDriverVersion(devices, &info, entry) || !InterfacePath(devices, &iface, &path)) {
        return false;
    }
    if (!entry.present) {
        link->clear();
        return true;
    }
    if (!MarkLinked(path)) {
        return false;
    }
    *link = L"\\??\\" + path.substr(4);
    return true;
}

void PutLe32(std::string* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
}

bool Configure(const std::string& message) {
    HANDLE control = CreateFileW(BRIDGE_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (control == INVALID_HANDLE_VALUE) {
        return Fail("opening the bridge driver", GetLastError());
    }
    DWORD returned = 0;
    const BOOL ok =
        DeviceIoControl(control, IOCTL_BRIDGE_CONFIGURE, const_cast<char*>(message.data()),
                        static_cast<DWORD>(message.size()), nullptr, 0, &returned, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(control);
    return ok || Fail("configuring the bridge driver", error);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool reload = argc > 1 && std::wcscmp(argv[1], L"--reload") == 0;
    Description description;
    if (!ReadDescription(stdin, &description)) {
        std::fprintf(stderr, "bridge_sync: the interface description is malformed or cut short\n");
        return 1;
    }
    if (!TraceMessageBoxes() || !EnsureDriverRunning(reload)) {
        return 1;
    }
    RemoveEarlierInterfaces();

    std::string message;
    PutLe32(&message, description.port);
    message += description.token;
    std::string entries;
    uint32_t linked = 0;
    HDEVINFO devices = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (devices == INVALID_HANDLE_VALUE) {
        Fail("SetupDiCreateDeviceInfoList", GetLastError());
        return 1;
    }
    bool ok = true;
    for (uint32_t i = 0; ok && i < description.interfaces.size(); ++i) {
        const Interface& entry = description.interfaces[i];
        std::wstring link;
        ok = Register(devices, i, entry, &link);
        if (ok && !link.empty()) {
            PutLe32(&entries, i);
            PutLe32(&entries, static_cast<uint32_t>(link.size()));
            PutLe32(&entries, static_cast<uint32_t>(entry.socket.size()));
            entries.append(reinterpret_cast<const char*>(link.data()),
                           link.size() * sizeof(wchar_t));
            entries += entry.socket;
            ++linked;
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    PutLe32(&message, linked);
    message += entries;
    return ok && Configure(message) ? 0 : 1;
}

// Checks the built quellix.exe as Windows will see it: the manifest resource asks for
// elevation, declares the supported Windows versions, per-monitor DPI awareness and
// Common Controls 6; the version resource carries the build's version (QUELLIX_VERSION,
// from CMake); the program is a GUI-subsystem (windowless, console-less) image of the
// expected architecture without debug information, and it imports no MinGW runtime DLL.
//
// Usage: exe_check path\to\quellix.exe [i386|amd64]
// The architecture defaults to the checker's own; naming it lets the 64-bit checker
// look at the 32-bit release exe where 32-bit programs cannot run.
#include <windows.h>

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

namespace {

int g_failures = 0;

void Check(bool ok, const char* what, const std::string& detail = "") {
    std::printf("%s: %s%s%s\n", ok ? "ok" : "FAIL", what, detail.empty() ? "" : " -- ",
                detail.c_str());
    if (!ok) {
        ++g_failures;
    }
}

// The manifest as the loader reads it: resource type RT_MANIFEST, id 1.
std::string ManifestOf(const wchar_t* path) {
    HMODULE image = LoadLibraryExW(path, /*hFile=*/nullptr, /*dwFlags=*/LOAD_LIBRARY_AS_DATAFILE);
    if (image == nullptr) {
        return "";
    }
    std::string text;
    HRSRC resource = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    if (resource != nullptr) {
        HGLOBAL loaded = LoadResource(image, resource);
        const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
        if (data != nullptr) {
            text.assign(static_cast<const char*>(data), SizeofResource(image, resource));
        }
    }
    FreeLibrary(image);
    return text;
}

// A string of the version resource's US English, Unicode block; empty when absent.
std::wstring VersionString(const std::vector<char>& info, const wchar_t* name) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueW(info.data(), path.c_str(), &value, &length) || value == nullptr) {
        return L"";
    }
    return std::wstring(static_cast<const wchar_t*>(value),
                        wcsnlen(static_cast<const wchar_t*>(value), length));
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

// The version resource as GetFileVersionInfoW gives it to Explorer and PowerShell.
void CheckVersion(const wchar_t* path) {
    const std::string expected = QUELLIX_VERSION;
    const std::wstring expectedWide(expected.begin(), expected.end());
    DWORD ignored = 0;
    std::vector<char> info(GetFileVersionInfoSizeW(path, &ignored));
    if (info.empty() ||
        !GetFileVersionInfoW(path, 0, static_cast<DWORD>(info.size()), info.data())) {
        Check(false, "version resource present");
        return;
    }
    void* fixed = nullptr;
    UINT length = 0;
    unsigned parts[4] = {0, 0, 0, 0};
    std::sscanf(expected.c_str(), "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
    const DWORD ms = MAKELONG(parts[1], parts[0]);
    const DWORD ls = MAKELONG(parts[3], parts[2]);
    const bool fixedRead =
        VerQueryValueW(info.data(), L"\\", &fixed, &length) && length >= sizeof(VS_FIXEDFILEINFO);
    const VS_FIXEDFILEINFO* f = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    Check(fixedRead && f->dwSignature == VS_FFI_SIGNATURE && f->dwFileVersionMS == ms &&
              f->dwFileVersionLS == ls && f->dwProductVersionMS == ms &&
              f->dwProductVersionLS == ls,
          "fixed file and product version", "expected " + expected);
    for (const wchar_t* name : {L"FileVersion", L"ProductVersion"}) {
        const std::wstring value = VersionString(info, name);
        Check(value == expectedWide, "version string", Narrow(name) + " = '" + Narrow(value) + "'");
    }
    const struct {
        const wchar_t* name;
        const wchar_t* value;
    } strings[] = {{L"ProductName", L"Quellix"},
                   {L"OriginalFilename", L"quellix.exe"},
                   {L"FileDescription", L"Quellix touch-screen calibration utility"}};
    for (const auto& s : strings) {
        const std::wstring value = VersionString(info, s.name);
        Check(value == s.value, "version string", Narrow(s.name) + " = '" + Narrow(value) + "'");
    }
}

// The parts of the optional header that are checked, from a PE32 or PE32+ image.
struct OptionalFields {
    WORD magic;
    WORD subsystem;
    IMAGE_DATA_DIRECTORY imports;
};

template <typename Header>
OptionalFields FieldsOf(const Header& h) {
    return {h.Magic, h.Subsystem, h.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT]};
}

// Whether the manifest holds an element <name ...> with every one of attributes
// (each written key="value") and, when text is given, exactly that text as content.
bool HasElement(const std::string& manifest, const std::string& name,
                std::initializer_list<const char*> attributes, const char* text = nullptr) {
    for (size_t at = manifest.find("<" + name); at != std::string::npos;
         at = manifest.find("<" + name, at + 1)) {
        const size_t end = manifest.find('>', at);
        const char after =
            at + 1 + name.size() < manifest.size() ? manifest[at + 1 + name.size()] : 0;
        if (end == std::string::npos ||
            !(std::isspace(static_cast<unsigned char>(after)) || after == '>' || after == '/')) {
            continue;
        }
        const std::string tag = manifest.substr(at, end - at);
        bool all = true;
        for (const char* attribute : attributes) {
            all = all && tag.find(attribute) != std::string::npos;
        }
        const std::string content = text != nullptr ? std::string(text) + "</" + name + ">" : "";
        if (all && manifest.compare(end + 1, content.size(), content) == 0) {
            return true;
        }
    }
    return false;
}

// The file offset of an RVA, or 0 when no section holds it.
size_t OffsetOf(const IMAGE_SECTION_HEADER* sections, int sectionCount, DWORD rva) {
    for (int i = 0; i < sectionCount; ++i) {
        const IMAGE_SECTION_HEADER& s = sections[i];
        if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData) {
            return rva - s.VirtualAddress + s.PointerToRawData;
        }
    }
    return 0;
}

// What ships carries neither debug information nor a symbol table. GNU ld names
// sections longer than eight characters (".debug_info", ...) "/" and an offset into
// the symbol table's strings, so a debug section shows as either form.
void CheckNoDebugInformation(const IMAGE_FILE_HEADER& header, const IMAGE_SECTION_HEADER* sections,
                             int sectionCount) {
    std::string found;
    for (int i = 0; i < sectionCount; ++i) {
        const std::string name(
            reinterpret_cast<const char*>(sections[i].Name),
            strnlen(reinterpret_cast<const char*>(sections[i].Name), IMAGE_SIZEOF_SHORT_NAME));
        if (name[0] == '/' || name.rfind(".debug", 0) == 0) {
            found += name + " ";
        }
    }
    Check(found.empty() && header.PointerToSymbolTable == 0 && header.NumberOfSymbols == 0,
          "no debug information or symbol table",
          found + "symbols " + std::to_string(header.NumberOfSymbols));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
#ifdef _WIN64
    std::wstring machineName = L"amd64";
#else
    std::wstring machineName = L"i386";
#endif
    if (argc == 3) {
        machineName = argv[2];
    }
    if ((argc != 2 && argc != 3) || (machineName != L"i386" && machineName != L"amd64")) {
        std::fprintf(stderr, "usage: exe_check quellix.exe [i386|amd64]\n");
        return 2;
    }
    const bool pe32 = machineName == L"i386";

    const std::string manifest = ManifestOf(argv[1]);
    Check(!manifest.empty(), "RT_MANIFEST resource 1 present");
    Check(HasElement(manifest, "requestedExecutionLevel",
                     {"level=\"requireAdministrator\"", "uiAccess=\"false\""}),
          "manifest requests requireAdministrator without uiAccess");
    CheckVersion(argv[1]);
    const struct {
        const char* id;
        const char* version;
    } systems[] = {{"Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"", "7"},
                   {"Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"", "8"},
                   {"Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"", "8.1"},
                   {"Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"", "10 and 11"}};
    for (const auto& system : systems) {
        Check(HasElement(manifest, "supportedOS", {system.id}),
              "manifest declares support of Windows", system.version);
    }
    Check(
        HasElement(manifest, "dpiAware",
                   {"xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\""}, "true/pm"),
        "manifest: per-monitor DPI aware (before Windows 10 1607)");
    Check(HasElement(manifest, "dpiAwareness",
                     {"xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\""},
                     "PerMonitorV2,PerMonitor"),
          "manifest: dpiAwareness PerMonitorV2, else PerMonitor");
    Check(HasElement(manifest, "assemblyIdentity",
                     {"name=\"Microsoft.Windows.Common-Controls\"", "version=\"6.0.0.0\"",
                      "publicKeyToken=\"6595b64144ccf1df\"", "type=\"win32\""}),
          "manifest depends on Common Controls 6");

    std::ifstream in(argv[1], std::ios::binary);
    std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < sizeof(IMAGE_DOS_HEADER)) {
        Check(false, "readable PE file");
        return 1;
    }
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, file.data(), sizeof(dos));
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0 ||
        file.size() < static_cast<size_t>(dos.e_lfanew) + sizeof(IMAGE_NT_HEADERS64)) {
        Check(false, "PE headers");
        return 1;
    }
    // Signature and file header are laid out alike in both formats; the optional
    // header is read as the format the expected architecture uses.
    const char* ntBytes = file.data() + dos.e_lfanew;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(ntBytes);
    const OptionalFields optional =
        pe32 ? FieldsOf(nt->OptionalHeader)
             : FieldsOf(reinterpret_cast<const IMAGE_NT_HEADERS64*>(ntBytes)->OptionalHeader);
    Check(nt->Signature == IMAGE_NT_SIGNATURE &&
              optional.magic ==
                  (pe32 ? IMAGE_NT_OPTIONAL_HDR32_MAGIC : IMAGE_NT_OPTIONAL_HDR64_MAGIC),
          pe32 ? "PE32 image" : "PE32+ image");
    Check(nt->FileHeader.Machine == (pe32 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64),
          pe32 ? "32-bit x86 machine" : "x86-64 machine");
    Check(optional.subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI, "GUI subsystem: no console window",
          std::to_string(optional.subsystem));

    // The section table follows the optional header, whose size the file header gives.
    const size_t sectionsAt = static_cast<size_t>(dos.e_lfanew) +
                              offsetof(IMAGE_NT_HEADERS32, OptionalHeader) +
                              nt->FileHeader.SizeOfOptionalHeader;
    const int sectionCount = nt->FileHeader.NumberOfSections;
    if (file.size() < sectionsAt + sectionCount * sizeof(IMAGE_SECTION_HEADER)) {
        Check(false, "section table");
        return 1;
    }
    const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(file.data() + sectionsAt);
    CheckNoDebugInformation(nt->FileHeader, sections, sectionCount);
    const IMAGE_DATA_DIRECTORY& imports = optional.imports;
    std::string dlls;
    bool runtimeDll = false;
    for (DWORD rva = imports.VirtualAddress; imports.VirtualAddress != 0;
         rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR descriptor;
        const size_t offset = OffsetOf(sections, sectionCount, rva);
        if (offset == 0 || offset + sizeof(descriptor) > file.size()) {
            break;
        }
        std::memcpy(&descriptor, file.data() + offset, sizeof(descriptor));
        const size_t nameOffset = OffsetOf(sections, sectionCount, descriptor.Name);
        if (descriptor.Name == 0 || nameOffset == 0 || nameOffset >= file.size()) {
            break;
        }
        std::string name(file.data() + nameOffset,
                         strnlen(file.data() + nameOffset, file.size() - nameOffset));
        for (char& c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        dlls += name + " ";
        runtimeDll = runtimeDll || name.rfind("libstdc++", 0) == 0 ||
                     name.rfind("libgcc", 0) == 0 || name.rfind("libwinpthread", 0) == 0;
    }
    Check(!dlls.empty(), "import table read", dlls);
    Check(!runtimeDll, "no MinGW runtime DLL imported (static link)", dlls);
    Check(dlls.find("setupapi.dll") != std::string::npos, "finds the driver through setupapi.dll",
          dlls);

    return g_failures == 0 ? 0 : 1;
}

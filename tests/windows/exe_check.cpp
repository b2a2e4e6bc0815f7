// Checks the built quellix.exe as Windows will see it: the manifest resource asks for
// elevation, declares the supported Windows versions, per-monitor DPI awareness and
// Common Controls 6; the program is a GUI-subsystem (windowless, console-less) image
// of this architecture, and it imports no MinGW runtime DLL.
//
// Usage: exe_check path\to\quellix.exe
#include <windows.h>

#include <cctype>
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: exe_check quellix.exe\n");
        return 2;
    }

    const std::string manifest = ManifestOf(argv[1]);
    Check(!manifest.empty(), "RT_MANIFEST resource 1 present");
    Check(HasElement(manifest, "requestedExecutionLevel",
                     {"level=\"requireAdministrator\"", "uiAccess=\"false\""}),
          "manifest requests requireAdministrator without uiAccess");
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
        file.size() < static_cast<size_t>(dos.e_lfanew) + sizeof(IMAGE_NT_HEADERS)) {
        Check(false, "PE headers");
        return 1;
    }
    // The checker is built for the same architecture as the program it checks.
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(file.data() + dos.e_lfanew);
    Check(nt->Signature == IMAGE_NT_SIGNATURE &&
              nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR_MAGIC,
          "PE image of this architecture");
#ifdef _WIN64
    Check(nt->FileHeader.Machine == IMAGE_FILE_MACHINE_AMD64, "x86-64 machine");
#else
    Check(nt->FileHeader.Machine == IMAGE_FILE_MACHINE_I386, "32-bit x86 machine");
#endif
    Check(nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI,
          "GUI subsystem: no console window", std::to_string(nt->OptionalHeader.Subsystem));

    const auto* sections = IMAGE_FIRST_SECTION(nt);
    const int sectionCount = nt->FileHeader.NumberOfSections;
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
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

// The program as a file and as a process: its PE header and resources, the
// choice between window and self-test, and what the self-test leaves behind.
#include <windows.h>

#include <set>

#include "driver_checks.h"
#include "driver_support.h"

namespace {

// The self-test of a copy of the setup program, with its exit code and the
// package directories that remain.
DWORD run_self_test_of(const std::wstring& setup) {
    PROCESS_INFORMATION process = {};
    if (!start_setup(setup, L" --self-test", &process)) return ~0u;
    DWORD code = ~0u;
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    } else {
        TerminateProcess(process.hProcess, 99);
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return code;
}

uint16_t u16_at(const std::string& b, size_t at) {
    return at + 2 <= b.size() ? static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8) : 0;
}

uint32_t u32_at(const std::string& b, size_t at) {
    return at + 4 <= b.size() ? static_cast<uint32_t>(u16_at(b, at)) | static_cast<uint32_t>(u16_at(b, at + 2)) << 16 : 0;
}

void put_u16(std::string& b, size_t at, uint16_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
}

// File offset of the resource directory entry with `id` in the directory at
// `directory` (offsets relative to the resource section's start `base`).
size_t find_entry(const std::string& b, size_t base, size_t directory, uint32_t id) {
    const size_t entries = u16_at(b, base + directory + 12) + u16_at(b, base + directory + 14);
    for (size_t i = 0; i < entries; ++i) {
        const size_t entry = base + directory + 16 + i * 8;
        if (u32_at(b, entry) == id) return entry;
    }
    return 0;
}

// Copies the program and damages one packaged resource in its resource
// directory: renumbered out of the package (missing), or its size set to 0.
// Renumbering to a neighbour keeps the entries sorted for the loader's search.
bool damaged_copy(const std::wstring& setup, const std::wstring& copy, int id, bool empty) {
    std::string b;
    if (!read_file(setup, &b)) return false;
    const size_t pe = u32_at(b, 0x3c);
    const size_t optional = pe + 24;
    const uint32_t resource_rva = u32_at(b, optional + 112 + 2 * 8);
    const size_t sections = optional + u16_at(b, pe + 20);
    size_t base = 0;
    for (size_t i = 0; i < u16_at(b, pe + 6); ++i) {
        const size_t section = sections + i * 40;
        const uint32_t rva = u32_at(b, section + 12);
        if (resource_rva >= rva && resource_rva < rva + u32_at(b, section + 8))
            base = u32_at(b, section + 20) + (resource_rva - rva);
    }
    if (base == 0) return false;
    const size_t type = find_entry(b, base, 0, 10);
    if (type == 0) return false;
    const size_t name = find_entry(b, base, u32_at(b, type + 4) & 0x7FFFFFFF, static_cast<uint32_t>(id));
    if (name == 0) return false;
    if (empty) {
        const size_t language = base + (u32_at(b, name + 4) & 0x7FFFFFFF) + 16;
        const size_t data = base + u32_at(b, language + 4);
        put_u16(b, data + 4, 0);
        put_u16(b, data + 6, 0);
    } else {
        put_u16(b, name, static_cast<uint16_t>(id == 100 ? 99 : id + 1));
    }
    return write_file(copy, b);
}

std::set<WORD> resource_ids(HMODULE module, LPCWSTR type) {
    std::set<WORD> ids;
    EnumResourceNamesW(
        module, type,
        [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR context) -> BOOL {
            auto* found = reinterpret_cast<std::set<WORD>*>(context);
            found->insert(IS_INTRESOURCE(name) ? LOWORD(reinterpret_cast<ULONG_PTR>(name)) : 0);
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&ids));
    return ids;
}

std::set<ULONG_PTR> resource_types(HMODULE module) {
    std::set<ULONG_PTR> types;
    EnumResourceTypesW(
        module,
        [](HMODULE, LPWSTR type, LONG_PTR context) -> BOOL {
            reinterpret_cast<std::set<ULONG_PTR>*>(context)->insert(
                IS_INTRESOURCE(type) ? reinterpret_cast<ULONG_PTR>(type) : ~0ull);
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&types));
    return types;
}

std::string resource_bytes(HMODULE module, LPCWSTR type, int id) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (found == nullptr) return {};
    HGLOBAL loaded = LoadResource(module, found);
    const char* data = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    return data != nullptr ? std::string(data, SizeofResource(module, found)) : std::string();
}

}  // namespace

int run_resource_checks(const std::wstring& setup, const std::wstring& staged, const std::wstring& manifest_source) {
    // PE32+ for x86-64, Windows GUI subsystem: read from the headers directly.
    std::string image;
    if (!check(read_file(setup, &image), "setup executable is readable")) return 1;
    const uint32_t pe = u32_at(image, 0x3c);
    check(u32_at(image, pe) == 0x00004550, "PE signature present");
    check(u16_at(image, pe + 4) == 0x8664, "machine is x86-64 (0x%04x)", u16_at(image, pe + 4));
    check(u16_at(image, pe + 24) == 0x20b, "optional header is PE32+ (0x%03x)", u16_at(image, pe + 24));
    check(u16_at(image, pe + 24 + 68) == 2, "subsystem is Windows GUI (%u)", u16_at(image, pe + 24 + 68));

    HMODULE module = LoadLibraryExW(setup.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!check(module != nullptr, "setup executable loads as a resource image")) return 1;
    const std::set<ULONG_PTR> types = resource_types(module);
    check(types == std::set<ULONG_PTR>{24, 10}, "resource types are exactly RT_MANIFEST and RT_RCDATA (%zu types)",
          types.size());
    check(resource_ids(module, MAKEINTRESOURCEW(24)) == std::set<WORD>{1}, "one manifest, ID 1");
    std::set<WORD> package_ids;
    for (WORD id = 100; id <= 110; ++id) package_ids.insert(id);
    check(resource_ids(module, RT_RCDATA) == package_ids, "RT_RCDATA resources are exactly 100 to 110");

    std::string source;
    const std::string manifest = resource_bytes(module, MAKEINTRESOURCEW(24), 1);
    check(read_file(manifest_source, &source) && manifest == source, "manifest is byte-identical to its source");
    for (const char* part : {"version=\"0.1.0.0\"", "processorArchitecture=\"amd64\"", "name=\"Vardokeep.Setup\"",
                             "type=\"win32\"", "level=\"requireAdministrator\"", "uiAccess=\"false\""})
        check(manifest.find(part) != std::string::npos, "manifest declares %s", part);
    for (const char* absent : {"<dependency", "dpiAware", "dpiAwareness", "<compatibility"})
        check(manifest.find(absent) == std::string::npos, "manifest declares no %s", absent);

    for (int i = 0; i < 11; ++i) {
        const std::string packaged = resource_bytes(module, RT_RCDATA, 100 + i);
        const bool read = read_file(staged + L"\\" + expected_package_names[i], &source);
        check(read && !source.empty() && packaged == source, "resource %d is %s, byte for byte (%zu bytes)", 100 + i,
              utf8(expected_package_names[i]).c_str(), packaged.size());
    }
    FreeLibrary(module);
    return failure_count() == 0 ? 0 : 1;
}

int run_self_test_checks(const std::wstring& product, const std::wstring& setup, const std::wstring& scratch) {
    // Wine reports the Unix user as every owner and no persistent ACLs, so the
    // program as built finds the package directory not its own and refuses it.
    check(run_self_test_of(product) == 1, "under Wine the program as built refuses the package directory (exit 1)");
    check(package_directories().empty(), "the refused package directory is removed");
    check(run_self_test_of(setup) == 0, "--self-test exits with 0");
    check(package_directories().empty(), "the self-test leaves no package directory");

    // A package missing its first or last file, or holding an empty one, fails
    // the self-test and leaves nothing behind.
    struct Damage {
        int id;
        bool empty;
    };
    for (const Damage& d : {Damage{100, false}, Damage{110, false}, Damage{105, true}}) {
        const std::wstring copy = scratch + L"\\setup-damaged-" + std::to_wstring(d.id) + L".exe";
        if (!check(damaged_copy(setup, copy, d.id, d.empty), "copy with resource %d %s", d.id,
                   d.empty ? "emptied" : "removed"))
            continue;
        check(run_self_test_of(copy) == 1, "--self-test with resource %d %s exits with 1", d.id,
              d.empty ? "empty" : "missing");
        check(package_directories().empty(), "with resource %d %s no package directory remains", d.id,
              d.empty ? "empty" : "missing");
        DeleteFileW(copy.c_str());
    }
    return failure_count() == 0 ? 0 : 1;
}

int run_mode_checks(const std::wstring& setup) {
    // Blanks after the program name are not part of the command line the program sees.
    for (const wchar_t* tail : {L" --self-test", L"   --self-test"}) {
        PROCESS_INFORMATION process = {};
        start_setup(setup, tail, &process);
        HWND window = wait_for_main_window(process, 20000);
        DWORD code = ~0u;
        WaitForSingleObject(process.hProcess, 20000);
        GetExitCodeProcess(process.hProcess, &code);
        check(window == nullptr && code == 0, "\"%s\" runs the self-test without a window (exit %lu)",
              utf8(tail).c_str(), code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    // Only the exact text selects the self-test.
    for (const wchar_t* tail : {L" --self-test ", L" --Self-Test", L" --SELF-TEST", L" --self-test x"}) {
        SetupProcess s = {};
        start_setup(setup, tail, &s.process);
        s.main = wait_for_main_window(s.process, 20000);
        check(s.main != nullptr, "\"%s\" opens the window", utf8(tail).c_str());
        check(close_setup(s) == 0, "\"%s\" ends with 0 when the window closes", utf8(tail).c_str());
    }
    check(package_directories().empty(), "no package directory is left behind");
    return failure_count() == 0 ? 0 : 1;
}

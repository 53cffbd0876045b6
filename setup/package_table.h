// The eleven files that the setup program carries as RT_RCDATA resources
// 100 to 110, and the names under which the package directory holds them.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t package_file_count = 11;
constexpr int package_first_resource_id = 100;
// Every path the setup program forms for the package fits MAX_PATH units.
constexpr size_t package_path_capacity = 260;

// Position i is written from resource 100 + i; removal walks the same order.
extern const char16_t* const package_file_names[package_file_count];

// A GUID as CoCreateGuid returns it, without the Windows headers.
struct PackageGuid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

// "<temp>Vardokeep-" and the GUID as lower-case hex in groups of 8, 4, 4 and 16
// digits. `temp_directory` carries its own trailing backslash. False when the
// path would not fit `capacity` units.
bool format_package_directory_path(char16_t* out, size_t capacity, const char16_t* temp_directory,
                                   const PackageGuid& guid);

// "<directory>\<name>", false when it would not fit.
bool format_package_member_path(char16_t* out, size_t capacity, const char16_t* directory,
                                const char16_t* name);

// The path that GetFinalPathNameByHandleW gives for a directory handle, in the
// form the package paths use: "\\?\C:\..." becomes "C:\...", "\\?\UNC\server\..."
// becomes "\\server\...". False for any other form (a volume GUID path, a
// device path, a bare drive) and when the result would not fit `capacity` units.
bool plain_final_path(char16_t* out, size_t capacity, const char16_t* final_path);

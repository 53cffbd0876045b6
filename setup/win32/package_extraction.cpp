// Writes the eleven packaged files into a fresh directory that only SYSTEM and
// Administrators can open, and removes them again.
#include <windows.h>
#include <objbase.h>
#include <sddl.h>

#include "../bounded_text.h"
#include "setup_state.h"

namespace {

// Protected DACL: nothing inherited from the temporary directory.
constexpr wchar_t package_directory_sddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// One resource into one new file, written with a single WriteFile.
bool write_package_file(size_t position) {
    HMODULE self = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(self, MAKEINTRESOURCEW(package_first_resource_id + position), RT_RCDATA);
    if (found == nullptr) return false;
    const DWORD size = SizeofResource(self, found);
    HGLOBAL loaded = LoadResource(self, found);
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr || size == 0) return false;

    char16_t path[package_path_capacity];
    if (!format_package_member_path(path, package_path_capacity, setup_state.package_directory,
                                    package_file_names[position]))
        return false;
    // CREATE_NEW: a file that is already there is never overwritten.
    HANDLE file = CreateFileW(wide(path), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, data, size, &written, nullptr) && written == size;
    CloseHandle(file);
    return ok;
}

}  // namespace

bool extract_package() {
    SetupState& s = setup_state;
    char16_t temp[package_path_capacity];
    const DWORD temp_length = GetTempPathW(package_path_capacity, wide(temp));
    if (temp_length == 0 || temp_length >= package_path_capacity) return false;

    GUID guid;
    if (FAILED(CoCreateGuid(&guid))) return false;
    PackageGuid name = {guid.Data1, guid.Data2, guid.Data3, {}};
    for (int i = 0; i < 8; ++i) name.data4[i] = guid.Data4[i];
    // A path cut short could name some other directory: refuse it instead.
    if (!format_package_directory_path(s.package_directory, package_path_capacity, temp, name)) return false;

    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(package_directory_sddl, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        s.package_directory[0] = 0;
        return false;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    const BOOL created = CreateDirectoryW(wide(s.package_directory), &attributes);
    LocalFree(descriptor);
    if (!created) {
        // Whatever is there is not ours to remove.
        s.package_directory[0] = 0;
        return false;
    }

    for (size_t i = 0; i < package_file_count; ++i) {
        if (!write_package_file(i)) {
            remove_package();
            return false;
        }
    }
    const char16_t* const log_parts[] = {s.package_directory, u"\\installation.log"};
    if (!join_texts(s.install_log_path, package_path_capacity, log_parts, 2)) {
        remove_package();
        return false;
    }
    return true;
}

void remove_package() {
    SetupState& s = setup_state;
    for (size_t i = 0; i < package_file_count; ++i) {
        char16_t path[package_path_capacity];
        if (format_package_member_path(path, package_path_capacity, s.package_directory, package_file_names[i]))
            DeleteFileW(wide(path));
    }
    if (s.install_log_path[0] != 0) DeleteFileW(wide(s.install_log_path));
    // A directory that still holds something else stays.
    RemoveDirectoryW(wide(s.package_directory));
}

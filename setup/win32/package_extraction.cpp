// Writes the eleven packaged files into a fresh directory that only SYSTEM and
// Administrators can open, and removes them again.
#include <windows.h>
#include <objbase.h>
#include <sddl.h>

#include "../bounded_text.h"
#include "setup_state.h"
#include "setup_win32_api.h"

namespace {

// Owned by Administrators whatever the token's default owner, and a protected
// DACL: nothing inherited from the temporary directory.
constexpr wchar_t package_directory_sddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// An unelevated process of the same user holds FILE_DELETE_CHILD on the
// temporary directory and owns what it creates there; a volume without
// persistent ACLs (FAT) has no owner or DACL to rely on.
bool volume_keeps_acls(HANDLE directory) {
    DWORD flags = 0;
    return setup_win32_api.GetVolumeInformationByHandleW(directory, nullptr, 0, nullptr, nullptr, &flags, nullptr,
                                                         0) &&
           (flags & FILE_PERSISTENT_ACLS) != 0;
}

// The descriptor names Administrators as owner, so nothing else may own what
// the handle reached: not SYSTEM, not the user.
bool owned_by_administrators(HANDLE directory) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (setup_win32_api.GetSecurityInfo(directory, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const bool ours = owner != nullptr && IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
    LocalFree(descriptor);
    return ours;
}

// Opened with FILE_FLAG_OPEN_REPARSE_POINT, a junction put in place of the new
// directory is the handle's object itself, and shows as such.
bool plain_directory(HANDLE directory) {
    BY_HANDLE_FILE_INFORMATION information;
    return setup_win32_api.GetFileInformationByHandle(directory, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Where the handle really is: a junction in the temporary path is resolved here.
bool final_path_of(HANDLE directory, char16_t* out) {
    char16_t final_path[package_path_capacity];
    const DWORD length = setup_win32_api.GetFinalPathNameByHandleW(directory, wide(final_path), package_path_capacity,
                                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return length != 0 && length < package_path_capacity && plain_final_path(out, package_path_capacity, final_path);
}

// Opens the directory just created and keeps it open. Read access to its
// owner needs READ_CONTROL. Between creation and this open the user's other
// processes may replace the name, so a reparse point is opened, not followed,
// and refused. From here on every package path is built from the handle's
// final path. On false nothing is held and the directory, still empty, is
// removed.
bool hold_package_directory() {
    SetupState& s = setup_state;
    HANDLE directory = setup_win32_api.CreateFileW(wide(s.package_directory), FILE_LIST_DIRECTORY | READ_CONTROL,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    char16_t final_path[package_path_capacity];
    const bool ours = directory != INVALID_HANDLE_VALUE && plain_directory(directory) &&
                      volume_keeps_acls(directory) && owned_by_administrators(directory) &&
                      final_path_of(directory, final_path);
    if (!ours) {
        if (directory != INVALID_HANDLE_VALUE) setup_win32_api.CloseHandle(directory);
        // Only an empty directory goes, and a junction in its place goes itself.
        setup_win32_api.RemoveDirectoryW(wide(s.package_directory));
        return false;
    }
    const char16_t* const parts[] = {final_path};
    join_texts(s.package_directory, package_path_capacity, parts, 1);  // same capacity: always fits
    s.package_directory_handle = directory;
    return true;
}

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
    const BOOL created = setup_win32_api.CreateDirectoryW(wide(s.package_directory), &attributes);
    LocalFree(descriptor);
    // When it cannot be created, whatever is there is not ours to remove.
    if (!created || !hold_package_directory()) {
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
    // The directory cannot be removed while our own handle refuses delete sharing.
    if (s.package_directory_handle != nullptr) {
        setup_win32_api.CloseHandle(s.package_directory_handle);
        s.package_directory_handle = nullptr;
    }
    // A directory that still holds something else stays.
    setup_win32_api.RemoveDirectoryW(wide(s.package_directory));
}

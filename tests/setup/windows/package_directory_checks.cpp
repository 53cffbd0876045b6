// extract_package and remove_package in this process, through the setup
// program's call table: how the package directory is held and checked, with
// the answers Windows gives where Wine synthesises (ntfs_answers.h) and the
// answers of a directory that is not ours. The driver carries eleven small
// RT_RCDATA resources 100 to 110 (package_resources.rc) in place of the package.
#include <windows.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "driver_checks.h"
#include "driver_support.h"
#include "ntfs_answers.h"
#include "win32/setup_state.h"
#include "win32/setup_win32_api.h"

namespace {

// What one case changes in the answers about the held directory.
struct Case {
    const char* name;
    bool extracted;
    DefaultOwnerForAdministratorsObjects default_owner = DefaultOwnerForAdministratorsObjects::object_creator;
    bool owner_in_descriptor = true;   // false: the package's descriptor without its owner
    const wchar_t* owner = nullptr;    // SDDL of an owner some other program gave the directory
    DWORD security_status = ERROR_SUCCESS;  // GetSecurityInfo's result when not ERROR_SUCCESS
    bool acls_kept = true;             // FILE_PERSISTENT_ACLS among the volume's flags
    const wchar_t* final_path = nullptr;  // nullptr: Wine's own; L"": the call fails; L"*": another directory
    bool junction = false;  // the name replaced, after creation, by a junction to another directory
};

using Owner = DefaultOwnerForAdministratorsObjects;

// A directory of the same user or of SYSTEM, one whose owner fell to the
// user's own account, a junction, FAT, a descriptor that cannot be read, a
// final path that cannot be had or used: each fails as a failed extraction does.
const Case cases[] = {
    {.name = "owner Administrators on NTFS", .extracted = true},
    {.name = "final path elsewhere (a junction in the temporary path)", .extracted = true, .final_path = L"*"},
    {.name = "no owner in the descriptor, default owner the Administrators group", .extracted = true,
     .default_owner = Owner::administrators_group, .owner_in_descriptor = false},
    {.name = "no owner in the descriptor, default owner the object creator", .extracted = false,
     .owner_in_descriptor = false},
    {.name = "owner SYSTEM", .extracted = false, .owner = L"O:SY"},
    {.name = "owner a user", .extracted = false, .owner = L"O:S-1-5-21-1004336348-1177238915-682003330-1001"},
    {.name = "a junction to a folder of Administrators swapped in after creation", .extracted = false,
     .junction = true},
    {.name = "owner unreadable", .extracted = false, .security_status = ERROR_ACCESS_DENIED},
    {.name = "volume without persistent ACLs", .extracted = false, .acls_kept = false},
    {.name = "no final path", .extracted = false, .final_path = L""},
    {.name = "final path as a volume GUID", .extracted = false,
     .final_path = L"\\\\?\\Volume{0b5c7a40-0000-0000-0000-100000000000}\\t"},
};

const Case* current = nullptr;
std::wstring elsewhere;  // the directory that L"*" names and a junction leads to
HANDLE junction_opened = nullptr;  // a handle on the junction itself

// Calls on the package directory, in order.
struct Opened {
    HANDLE handle;
    DWORD access, share, disposition, flags;
};
std::vector<Opened> opened;
std::vector<std::wstring> events;

// Wine makes no junctions. In place of one, an open without
// FILE_FLAG_OPEN_REPARSE_POINT is followed to the target, and an open with it
// reaches the junction itself, whose attributes carry
// FILE_ATTRIBUTE_REPARSE_POINT (CreateFileW and BY_HANDLE_FILE_INFORMATION,
// Microsoft Learn).
HANDLE WINAPI recorded_CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                   DWORD disposition, DWORD flags, HANDLE model) {
    const bool follow = current->junction && (flags & FILE_FLAG_OPEN_REPARSE_POINT) == 0;
    HANDLE h = CreateFileW(follow ? elsewhere.c_str() : path, access, share, attributes, disposition, flags, model);
    if (current->junction && !follow) junction_opened = h;
    opened.push_back({h, access, share, disposition, flags});
    events.push_back(L"open");
    return h;
}

BOOL WINAPI recorded_CloseHandle(HANDLE h) {
    events.push_back(!opened.empty() && h == opened.back().handle ? L"close directory" : L"close other");
    return CloseHandle(h);
}

BOOL WINAPI recorded_RemoveDirectoryW(LPCWSTR path) {
    events.push_back(std::wstring(L"remove ") + path);
    return RemoveDirectoryW(path);
}

BOOL WINAPI case_GetFileInformationByHandle(HANDLE h, LPBY_HANDLE_FILE_INFORMATION information) {
    if (!GetFileInformationByHandle(h, information)) return FALSE;
    if (h == junction_opened) information->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return TRUE;
}

// The package's own descriptor, or the same without its owner; an owner some
// other program gave the directory is recorded after its creation.
BOOL WINAPI case_CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
    SECURITY_ATTRIBUTES without_owner = *attributes;
    wchar_t* dacl_only = nullptr;
    if (!current->owner_in_descriptor &&
        (!ConvertSecurityDescriptorToStringSecurityDescriptorW(attributes->lpSecurityDescriptor, SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &dacl_only, nullptr) ||
         !ConvertStringSecurityDescriptorToSecurityDescriptorW(dacl_only, SDDL_REVISION_1,
                                                              &without_owner.lpSecurityDescriptor, nullptr))) {
        check(false, "%s: the descriptor without its owner is made", current->name);
        return FALSE;
    }
    const BOOL created = ntfs_CreateDirectoryW(path, current->owner_in_descriptor ? attributes : &without_owner);
    if (dacl_only != nullptr) {
        LocalFree(dacl_only);
        LocalFree(without_owner.lpSecurityDescriptor);
    }
    if (created && current->owner != nullptr) ntfs_set_owner(path, current->owner);
    return created;
}

DWORD WINAPI case_GetSecurityInfo(HANDLE h, SE_OBJECT_TYPE type, SECURITY_INFORMATION information, PSID* owner,
                                  PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
    if (current->security_status != ERROR_SUCCESS) return current->security_status;
    return ntfs_GetSecurityInfo(h, type, information, owner, group, dacl, sacl, descriptor);
}

BOOL WINAPI case_GetVolumeInformationByHandleW(HANDLE file, LPWSTR name, DWORD name_size, LPDWORD serial,
                                               LPDWORD length, LPDWORD flags, LPWSTR system, DWORD system_size) {
    const BOOL ok = ntfs_GetVolumeInformationByHandleW(file, name, name_size, serial, length, flags, system, system_size);
    if (ok && !current->acls_kept && flags != nullptr) *flags &= ~static_cast<DWORD>(FILE_PERSISTENT_ACLS);
    return ok;
}

DWORD WINAPI case_GetFinalPathNameByHandleW(HANDLE file, LPWSTR out, DWORD capacity, DWORD flags) {
    if (current->final_path == nullptr) return GetFinalPathNameByHandleW(file, out, capacity, flags);
    if (current->final_path[0] == 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    const std::wstring answer =
        std::wstring(current->final_path) == L"*" ? L"\\\\?\\" + elsewhere : std::wstring(current->final_path);
    if (answer.size() >= capacity) return static_cast<DWORD>(answer.size() + 1);
    answer.copy(out, answer.size());
    out[answer.size()] = 0;
    return static_cast<DWORD>(answer.size());
}

std::wstring text(const char16_t* t) { return reinterpret_cast<const wchar_t*>(t); }

bool is_directory(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void check_held_package(const Case& c, const std::wstring& created) {
    const std::wstring directory = text(setup_state.package_directory);
    const Opened& o = opened.front();
    check(opened.size() == 1 && o.access == (FILE_LIST_DIRECTORY | READ_CONTROL) &&
              o.share == (FILE_SHARE_READ | FILE_SHARE_WRITE) && o.disposition == OPEN_EXISTING &&
              o.flags == (FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT),
          "%s: the directory is opened once, list and read-control access, no delete sharing, backup semantics, "
          "not following a reparse point",
          c.name);
    check(setup_state.package_directory_handle == o.handle && events.size() == 1,
          "%s: the handle is held after extraction (%zu calls)", c.name, events.size());
    const std::wstring expected = c.final_path != nullptr ? elsewhere : created;
    check(directory == expected, "%s: package paths follow the handle's final path (%s)", c.name,
          shown(directory).c_str());
    check(text(setup_state.install_log_path) == directory + L"\\installation.log", "%s: the install log is %s",
          c.name, shown(text(setup_state.install_log_path)).c_str());
    size_t present = 0;
    for (const wchar_t* name : expected_package_names) present += file_exists(directory + L"\\" + name) ? 1 : 0;
    check(present == 11, "%s: the eleven files are in the final path's directory (%zu)", c.name, present);
    if (c.final_path == nullptr) {
        // Wine honours the missing delete sharing for the directory itself.
        const BOOL moved = MoveFileW(created.c_str(), (created + L"-moved").c_str());
        const DWORD error = GetLastError();
        check(!moved && error == ERROR_SHARING_VIOLATION, "%s: renaming the held directory is refused (%lu)", c.name,
              error);
        if (moved) MoveFileW((created + L"-moved").c_str(), created.c_str());
    }

    events.clear();
    remove_package();
    const size_t n = events.size();
    check(n >= 2 && events[n - 2] == L"close directory" && events[n - 1] == L"remove " + directory,
          "%s: the handle is closed just before the directory is removed", c.name);
    check(setup_state.package_directory_handle == nullptr && !is_directory(directory),
          "%s: nothing is held and the directory is gone", c.name);
    events.clear();
    remove_package();
    check(events.size() == 1, "%s: a second removal closes nothing (%zu calls)", c.name, events.size());
}

}  // namespace

int run_package_directory_checks(const std::wstring& scratch) {
    setup_win32_api.CreateDirectoryW = case_CreateDirectoryW;
    setup_win32_api.CreateFileW = recorded_CreateFileW;
    setup_win32_api.GetFileInformationByHandle = case_GetFileInformationByHandle;
    setup_win32_api.CloseHandle = recorded_CloseHandle;
    setup_win32_api.RemoveDirectoryW = recorded_RemoveDirectoryW;
    setup_win32_api.GetSecurityInfo = case_GetSecurityInfo;
    setup_win32_api.GetVolumeInformationByHandleW = case_GetVolumeInformationByHandleW;
    setup_win32_api.GetFinalPathNameByHandleW = case_GetFinalPathNameByHandleW;

    for (const Case& c : cases) {
        current = &c;
        opened.clear();
        events.clear();
        setup_state = {};
        junction_opened = nullptr;
        ntfs_forget_owners();
        system_objects_default_owner_for_objects_created_by_administrators = c.default_owner;
        elsewhere = scratch + L"\\elsewhere";
        const bool moved = c.junction || (c.final_path != nullptr && std::wstring(c.final_path) == L"*");
        if (moved) {
            CreateDirectoryW(elsewhere.c_str(), nullptr);
            // Owned by Administrators: only the junction itself can refuse it.
            ntfs_set_owner(elsewhere.c_str(), L"O:BA");
        }

        const bool extracted = extract_package();
        const std::vector<std::wstring> left = package_directories();
        const std::wstring created = left.size() == 1 ? temp_directory() + left.front() : std::wstring();
        if (!check(extracted == c.extracted, "%s: extraction %s", c.name, c.extracted ? "succeeds" : "fails")) {
            if (extracted) remove_package();
        } else if (extracted) {
            check_held_package(c, created);
        } else {
            check(left.empty() && setup_state.package_directory[0] == 0,
                  "%s: no package directory is left or recorded", c.name);
            const bool closed = opened.size() == 1 && events.size() >= 2 && events[1] == L"close directory";
            check(closed && setup_state.package_directory_handle == nullptr, "%s: the handle is closed again",
                  c.name);
        }
        // The simulated junctions leave the directory that was really created.
        if (moved && !created.empty()) RemoveDirectoryW(created.c_str());
        RemoveDirectoryW(elsewhere.c_str());
    }
    setup_win32_api = setup_win32_real_api;
    check(package_directories().empty(), "no package directory is left behind");
    return failure_count() == 0 ? 0 : 1;
}

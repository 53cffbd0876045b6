#include "ntfs_answers.h"

#include <sddl.h>

#include <string>
#include <utility>
#include <vector>

// The local policy's two values, "Administrators group" and "Object creator":
// https://learn.microsoft.com/en-us/previous-versions/windows/it-pro/windows-10/security/threat-protection/security-policy-settings/system-objects-default-owner-for-objects-created-by-members-of-the-administrators-group
// KB 318825 gives Object creator as the default of client editions (Windows
// Server 2003's: Administrators group), so there an object an elevated
// administrator creates without an owner in its descriptor is the user's own.
DefaultOwnerForAdministratorsObjects system_objects_default_owner_for_objects_created_by_administrators =
    DefaultOwnerForAdministratorsObjects::object_creator;

namespace {

// (final path, owner SID as text); the last record of a path wins.
std::vector<std::pair<std::wstring, std::wstring>> owners;

std::wstring final_path_of(HANDLE handle) {
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetFinalPathNameByHandleW(handle, path, MAX_PATH * 4, FILE_NAME_NORMALIZED);
    return length != 0 && length < MAX_PATH * 4 ? std::wstring(path, length) : std::wstring();
}

std::wstring final_path_of(const wchar_t* path) {
    HANDLE h = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::wstring final_path = final_path_of(h);
    CloseHandle(h);
    return final_path;
}

std::wstring sid_text(PSID sid) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return {};
    std::wstring result = text;
    LocalFree(text);
    return result;
}

// The token's default owner (TOKEN_OWNER), which the policy sets at logon:
// the Administrators group, or the user's own SID.
std::wstring default_owner() {
    if (system_objects_default_owner_for_objects_created_by_administrators ==
        DefaultOwnerForAdministratorsObjects::administrators_group)
        return L"S-1-5-32-544";
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    alignas(TOKEN_USER) unsigned char buffer[256];
    DWORD size = 0;
    std::wstring user;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size))
        user = sid_text(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    CloseHandle(token);
    return user;
}

void record(const std::wstring& final_path, const std::wstring& owner) {
    if (!final_path.empty() && !owner.empty()) owners.emplace_back(final_path, owner);
}

}  // namespace

void ntfs_set_owner(const wchar_t* path, const wchar_t* owner_sddl) {
    const std::wstring sddl = owner_sddl;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner != nullptr)
        record(final_path_of(path), sid_text(owner));
    LocalFree(descriptor);
}

void ntfs_forget_owners() { owners.clear(); }

// A new object is owned by the token's default owner "unless the process
// provides a security descriptor for the object" (TOKEN_OWNER structure,
// Microsoft Learn); an owner the descriptor names is the object's owner. (An
// owner the token may not assign fails the call with ERROR_INVALID_OWNER; the
// setup program runs elevated, where Administrators may be named.)
BOOL WINAPI ntfs_CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
    if (!CreateDirectoryW(path, attributes)) return FALSE;
    PSID named = nullptr;
    BOOL defaulted = FALSE;
    if (attributes != nullptr && attributes->lpSecurityDescriptor != nullptr)
        GetSecurityDescriptorOwner(attributes->lpSecurityDescriptor, &named, &defaulted);
    record(final_path_of(path), named != nullptr ? sid_text(named) : default_owner());
    return TRUE;
}

// The setup program asks for the owner alone; Windows answers the object's
// owner as a self-relative descriptor freed with LocalFree. An object this
// stand-in did not see created is one the same administrator made.
DWORD WINAPI ntfs_GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION information, PSID* owner,
                                  PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
    const DWORD status = GetSecurityInfo(handle, type, information, owner, group, dacl, sacl, descriptor);
    if (status != ERROR_SUCCESS || information != OWNER_SECURITY_INFORMATION || descriptor == nullptr) return status;
    LocalFree(*descriptor);
    *descriptor = nullptr;
    const std::wstring final_path = final_path_of(handle);
    std::wstring sid;
    for (auto it = owners.rbegin(); it != owners.rend() && sid.empty(); ++it)
        if (CompareStringOrdinal(it->first.c_str(), -1, final_path.c_str(), -1, TRUE) == CSTR_EQUAL) sid = it->second;
    if (sid.empty()) sid = default_owner();
    const std::wstring sddl = L"O:" + sid;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, descriptor, nullptr))
        return GetLastError();
    BOOL defaulted = FALSE;
    if (owner != nullptr) GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
    return ERROR_SUCCESS;
}

// NTFS "preserves and enforces access control lists" (FILE_PERSISTENT_ACLS in
// GetVolumeInformationByHandleW's lpFileSystemFlags).
BOOL WINAPI ntfs_GetVolumeInformationByHandleW(HANDLE file, LPWSTR volume_name, DWORD volume_name_size,
                                               LPDWORD serial, LPDWORD component_length, LPDWORD flags,
                                               LPWSTR file_system_name, DWORD file_system_name_size) {
    if (!GetVolumeInformationByHandleW(file, volume_name, volume_name_size, serial, component_length, flags,
                                       file_system_name, file_system_name_size))
        return FALSE;
    if (flags != nullptr) *flags |= FILE_PERSISTENT_ACLS;
    return TRUE;
}

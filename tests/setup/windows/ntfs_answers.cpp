#include "ntfs_answers.h"

#include <sddl.h>

const wchar_t* ntfs_answered_owner = L"O:BA";

// The setup program asks for the owner alone. Windows reports the owner that
// CreateDirectoryW was given ("O:BA" in the package's descriptor), as a
// self-relative descriptor freed with LocalFree.
DWORD WINAPI ntfs_GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION information, PSID* owner,
                                  PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
    const DWORD status = GetSecurityInfo(handle, type, information, owner, group, dacl, sacl, descriptor);
    if (status != ERROR_SUCCESS || information != OWNER_SECURITY_INFORMATION || descriptor == nullptr) return status;
    LocalFree(*descriptor);
    *descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(ntfs_answered_owner, SDDL_REVISION_1, descriptor,
                                                              nullptr))
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

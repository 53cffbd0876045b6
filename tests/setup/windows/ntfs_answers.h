// What Windows answers about the package directory where Wine synthesises:
// the owner is the one its security descriptor named (Wine always reports the
// Unix user), and an NTFS volume reports FILE_PERSISTENT_ACLS (Wine reports no
// flags for a handle). Everything else is Wine's own answer.
#pragma once

#include <windows.h>

#include <aclapi.h>

// The owner that the next GetSecurityInfo reports, as SDDL ("O:BA" unless a test changes it).
extern const wchar_t* ntfs_answered_owner;

DWORD WINAPI ntfs_GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION information, PSID* owner,
                                  PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
BOOL WINAPI ntfs_GetVolumeInformationByHandleW(HANDLE file, LPWSTR volume_name, DWORD volume_name_size,
                                               LPDWORD serial, LPDWORD component_length, LPDWORD flags,
                                               LPWSTR file_system_name, DWORD file_system_name_size);

// What Windows answers about the package directory where Wine synthesises:
// the owner is the one the security descriptor given to CreateDirectoryW
// named, else the default owner of the creating administrator (Wine always
// reports the Unix user), and an NTFS volume reports FILE_PERSISTENT_ACLS
// (Wine reports no flags for a handle). Everything else is Wine's own answer.
#pragma once

#include <windows.h>

#include <aclapi.h>

// The local policy "System objects: Default owner for objects created by
// members of the Administrators group": who owns what an elevated
// administrator creates without naming an owner.
enum class DefaultOwnerForAdministratorsObjects { administrators_group, object_creator };
extern DefaultOwnerForAdministratorsObjects system_objects_default_owner_for_objects_created_by_administrators;

// Records `owner_sddl` ("O:..."), as another program would have made it, for
// the existing object at `path`, ahead of what the stand-in recorded itself.
void ntfs_set_owner(const wchar_t* path, const wchar_t* owner_sddl);
// Forgets every recorded owner.
void ntfs_forget_owners();

BOOL WINAPI ntfs_CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes);
DWORD WINAPI ntfs_GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION information, PSID* owner,
                                  PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
BOOL WINAPI ntfs_GetVolumeInformationByHandleW(HANDLE file, LPWSTR volume_name, DWORD volume_name_size,
                                               LPDWORD serial, LPDWORD component_length, LPDWORD flags,
                                               LPWSTR file_system_name, DWORD file_system_name_size);

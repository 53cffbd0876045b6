// The call table of vardokeep-setup-ntfs.exe: the setup program as built, with
// the answers that Wine cannot give taken from ntfs_answers.cpp, so that the
// self-test and the install flow run their whole course under Wine.
#include "win32/setup_win32_api.h"

#include "ntfs_answers.h"

SetupWin32Api setup_win32_api = {
    &ntfs_CreateDirectoryW,
    &::CreateFileW,
    &::GetFileInformationByHandle,
    &ntfs_GetVolumeInformationByHandleW,
    &ntfs_GetSecurityInfo,
    &::GetFinalPathNameByHandleW,
    &::CloseHandle,
    &::RemoveDirectoryW,
};

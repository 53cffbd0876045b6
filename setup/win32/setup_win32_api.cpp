#include "setup_win32_api.h"

const SetupWin32Api setup_win32_real_api = {
    &::CreateDirectoryW,
    &::CreateFileW,
    &::GetFileInformationByHandle,
    &::GetVolumeInformationByHandleW,
    &::GetSecurityInfo,
    &::GetFinalPathNameByHandleW,
    &::CloseHandle,
    &::RemoveDirectoryW,
};

SetupWin32Api setup_win32_api = setup_win32_real_api;

// The Win32 calls that create, hold and check the package directory go through
// this table, so that tests can record their order and answer what Wine cannot
// (it synthesises owners, makes no junctions and reports no persistent ACLs). setup_win32_api starts
// out holding the real functions; setup_win32_real_api keeps them for restoring.
#pragma once

#include <windows.h>

#include <aclapi.h>

struct SetupWin32Api {
    decltype(&::CreateDirectoryW) CreateDirectoryW;
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::GetFileInformationByHandle) GetFileInformationByHandle;
    decltype(&::GetVolumeInformationByHandleW) GetVolumeInformationByHandleW;
    decltype(&::GetSecurityInfo) GetSecurityInfo;
    decltype(&::GetFinalPathNameByHandleW) GetFinalPathNameByHandleW;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::RemoveDirectoryW) RemoveDirectoryW;
};

extern SetupWin32Api setup_win32_api;
extern const SetupWin32Api setup_win32_real_api;

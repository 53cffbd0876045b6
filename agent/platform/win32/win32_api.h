// Every Win32 and runtime-library call of the adapter goes through this table,
// so that tests can count calls, check their arguments and inject failures into
// the adapter itself. win32_api starts out holding the real functions.
#pragma once
#include <windows.h>

#include <aclapi.h>
#include <io.h>

struct Win32Api {
  decltype(&::SetConsoleOutputCP) SetConsoleOutputCP;
  decltype(&::GetLastError) GetLastError;
  decltype(&::SetLastError) SetLastError;
  decltype(&::GetTickCount64) GetTickCount64;
  decltype(&::GetCurrentProcessId) GetCurrentProcessId;
  decltype(&::GetCurrentProcess) GetCurrentProcess;
  decltype(&::OpenProcessToken) OpenProcessToken;
  decltype(&::LookupPrivilegeValueW) LookupPrivilegeValueW;
  decltype(&::AdjustTokenPrivileges) AdjustTokenPrivileges;
  decltype(&::GetModuleHandleW) GetModuleHandleW;
  decltype(&::GetProcAddress) GetProcAddress;
  decltype(&::MultiByteToWideChar) MultiByteToWideChar;
  decltype(&::WideCharToMultiByte) WideCharToMultiByte;
  decltype(&::GetFullPathNameW) GetFullPathNameW;
  decltype(&::GetFileAttributesW) GetFileAttributesW;
  decltype(&::GetTempPathW) GetTempPathW;
  decltype(&::CreateFileW) CreateFileW;
  decltype(&::CloseHandle) CloseHandle;
  decltype(&::GetFinalPathNameByHandleW) GetFinalPathNameByHandleW;
  intptr_t (*open_osfhandle)(intptr_t, int);
  __int64 (*lseeki64)(int, __int64, int);
  int (*read)(int, void*, unsigned int);
  int (*write)(int, const void*, unsigned int);
  int (*close)(int);

  // capture

  decltype(&::GetFileInformationByHandle) GetFileInformationByHandle;
  decltype(&::GetFileSizeEx) GetFileSizeEx;
  decltype(&::DeviceIoControl) DeviceIoControl;
  decltype(&::ReadFile) ReadFile;
  decltype(&::FindFirstFileW) FindFirstFileW;
  decltype(&::FindNextFileW) FindNextFileW;
  decltype(&::FindFirstStreamW) FindFirstStreamW;
  decltype(&::FindNextStreamW) FindNextStreamW;
  decltype(&::FindClose) FindClose;
  decltype(&::GetSecurityInfo) GetSecurityInfo;
  decltype(&::GetSecurityDescriptorLength) GetSecurityDescriptorLength;
  decltype(&::LocalFree) LocalFree;

  // transfer

  decltype(&::GetSystemDirectoryW) GetSystemDirectoryW;
  decltype(&::CreatePipe) CreatePipe;
  decltype(&::SetHandleInformation) SetHandleInformation;
  decltype(&::GetStdHandle) GetStdHandle;
  decltype(&::DuplicateHandle) DuplicateHandle;
  decltype(&::InitializeProcThreadAttributeList) InitializeProcThreadAttributeList;
  decltype(&::UpdateProcThreadAttribute) UpdateProcThreadAttribute;
  decltype(&::DeleteProcThreadAttributeList) DeleteProcThreadAttributeList;
  decltype(&::CreateJobObjectW) CreateJobObjectW;
  decltype(&::SetInformationJobObject) SetInformationJobObject;
  decltype(&::CreateProcessW) CreateProcessW;
  decltype(&::AssignProcessToJobObject) AssignProcessToJobObject;
  decltype(&::TerminateProcess) TerminateProcess;
  decltype(&::ResumeThread) ResumeThread;
  decltype(&::WaitForSingleObject) WaitForSingleObject;
  decltype(&::GetExitCodeProcess) GetExitCodeProcess;

  // metadata restore

  decltype(&::SetFilePointerEx) SetFilePointerEx;
  decltype(&::IsValidSecurityDescriptor) IsValidSecurityDescriptor;
  decltype(&::GetSecurityDescriptorControl) GetSecurityDescriptorControl;
  decltype(&::SetKernelObjectSecurity) SetKernelObjectSecurity;
  decltype(&::SetFileTime) SetFileTime;
  decltype(&::SetFileInformationByHandle) SetFileInformationByHandle;
  decltype(&::GetFileInformationByHandleEx) GetFileInformationByHandleEx;
  decltype(&::CompareStringOrdinal) CompareStringOrdinal;
};

extern Win32Api win32_api;
// The real functions, kept so that every rewired entry can be put back.
extern const Win32Api win32_api_real;
// Puts every entry of win32_api back to the real function; each adapter test
// ends with it.
void win32_api_restore();

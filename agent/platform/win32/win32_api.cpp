#include "agent/platform/win32/win32_api.h"

namespace {
intptr_t real_open_osfhandle(intptr_t handle, int flags) { return _open_osfhandle(handle, flags); }
__int64 real_lseeki64(int fd, __int64 offset, int origin) { return _lseeki64(fd, offset, origin); }
int real_read(int fd, void* buffer, unsigned int length) { return _read(fd, buffer, length); }
int real_write(int fd, const void* data, unsigned int length) { return _write(fd, data, length); }
int real_close(int fd) { return _close(fd); }
}  // namespace

const Win32Api win32_api_real = {
    ::SetConsoleOutputCP,
    ::GetLastError,
    ::SetLastError,
    ::GetTickCount64,
    ::GetCurrentProcessId,
    ::GetCurrentProcess,
    ::OpenProcessToken,
    ::LookupPrivilegeValueW,
    ::AdjustTokenPrivileges,
    ::GetModuleHandleW,
    ::GetProcAddress,
    ::MultiByteToWideChar,
    ::WideCharToMultiByte,
    ::GetFullPathNameW,
    ::GetFileAttributesW,
    ::GetTempPathW,
    ::CreateFileW,
    ::CloseHandle,
    ::GetFinalPathNameByHandleW,
    real_open_osfhandle,
    real_lseeki64,
    real_read,
    real_write,
    real_close,

    // capture

    ::GetFileInformationByHandle,
    ::GetFileSizeEx,
    ::DeviceIoControl,
    ::ReadFile,
    ::FindFirstFileW,
    ::FindNextFileW,
    ::FindFirstStreamW,
    ::FindNextStreamW,
    ::FindClose,
    ::GetSecurityInfo,
    ::GetSecurityDescriptorLength,
    ::LocalFree,

    // transfer

    ::GetSystemDirectoryW,
    ::CreatePipe,
    ::SetHandleInformation,
    ::GetStdHandle,
    ::DuplicateHandle,
    ::InitializeProcThreadAttributeList,
    ::UpdateProcThreadAttribute,
    ::DeleteProcThreadAttributeList,
    ::CreateJobObjectW,
    ::SetInformationJobObject,
    ::CreateProcessW,
    ::AssignProcessToJobObject,
    ::TerminateProcess,
    ::ResumeThread,
    ::WaitForSingleObject,
    ::GetExitCodeProcess,

    // metadata restore

    ::SetFilePointerEx,
    ::IsValidSecurityDescriptor,
    ::GetSecurityDescriptorControl,
    ::SetKernelObjectSecurity,
    ::SetFileTime,
    ::SetFileInformationByHandle,
    ::GetFileInformationByHandleEx,
    ::CompareStringOrdinal,
};

Win32Api win32_api = win32_api_real;

void win32_api_restore() { win32_api = win32_api_real; }

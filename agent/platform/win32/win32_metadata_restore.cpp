// Metadata-restore operations of the platform seam over the real Win32 calls.
#include "agent/platform/platform.h"
#include "agent/platform/win32/win32_api.h"

static_assert(sizeof(FILE_BASIC_INFO) == 40, "FILE_BASIC_INFO is four times and the attributes");

static FILETIME filetime_of(uint64_t ticks) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

bool platform_read_file_at(PlatformHandle handle, uint64_t offset, void* buffer, uint32_t length,
                           uint32_t* bytes_read) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  if (!win32_api.SetFilePointerEx(handle, distance, nullptr, FILE_BEGIN)) return false;
  DWORD n = 0;
  if (!win32_api.ReadFile(handle, buffer, length, &n, nullptr)) return false;
  *bytes_read = n;
  return true;
}

bool platform_open_process_token(uint32_t access, PlatformHandle* token) {
  HANDLE h = nullptr;
  if (!win32_api.OpenProcessToken(win32_api.GetCurrentProcess(), access, &h)) return false;
  *token = h;
  return true;
}

bool platform_lookup_privilege_value(const wchar16* name, uint64_t* luid) {
  LUID value;
  if (!win32_api.LookupPrivilegeValueW(nullptr, reinterpret_cast<const wchar_t*>(name), &value)) return false;
  *luid = (static_cast<uint64_t>(static_cast<uint32_t>(value.HighPart)) << 32) | value.LowPart;
  return true;
}

bool platform_adjust_token_privilege(PlatformHandle token, uint64_t luid, uint32_t attributes) {
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Luid.LowPart = static_cast<DWORD>(luid);
  privileges.Privileges[0].Luid.HighPart = static_cast<LONG>(luid >> 32);
  privileges.Privileges[0].Attributes = attributes;
  return win32_api.AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) != 0;
}

bool platform_is_valid_security_descriptor(const void* descriptor) {
  return win32_api.IsValidSecurityDescriptor(const_cast<void*>(descriptor)) != 0;
}

bool platform_security_descriptor_control(const void* descriptor, uint16_t* control, uint32_t* revision) {
  SECURITY_DESCRIPTOR_CONTROL value = 0;
  DWORD rev = 0;
  if (!win32_api.GetSecurityDescriptorControl(const_cast<void*>(descriptor), &value, &rev)) return false;
  *control = value;
  *revision = rev;
  return true;
}

bool platform_set_kernel_object_security(PlatformHandle handle, uint32_t information, const void* descriptor) {
  return win32_api.SetKernelObjectSecurity(handle, information, const_cast<void*>(descriptor)) != 0;
}

bool platform_set_file_time(PlatformHandle handle, const uint64_t* creation_time, const uint64_t* last_access_time,
                            const uint64_t* last_write_time) {
  FILETIME creation = creation_time != nullptr ? filetime_of(*creation_time) : FILETIME{};
  FILETIME access = last_access_time != nullptr ? filetime_of(*last_access_time) : FILETIME{};
  FILETIME write = last_write_time != nullptr ? filetime_of(*last_write_time) : FILETIME{};
  return win32_api.SetFileTime(handle, creation_time != nullptr ? &creation : nullptr,
                               last_access_time != nullptr ? &access : nullptr,
                               last_write_time != nullptr ? &write : nullptr) != 0;
}

bool platform_set_basic_information(PlatformHandle handle, const PlatformBasicInformation& information) {
  FILE_BASIC_INFO basic{};
  basic.CreationTime.QuadPart = static_cast<LONGLONG>(information.creation_time);
  basic.LastAccessTime.QuadPart = static_cast<LONGLONG>(information.last_access_time);
  basic.LastWriteTime.QuadPart = static_cast<LONGLONG>(information.last_write_time);
  basic.ChangeTime.QuadPart = static_cast<LONGLONG>(information.change_time);
  basic.FileAttributes = information.attributes;
  return win32_api.SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != 0;
}

uint32_t platform_file_name(PlatformHandle handle, wchar16* buffer, uint32_t capacity) {
  // FILE_NAME_INFO: the name's length in bytes, then the name without terminator.
  alignas(FILE_NAME_INFO) static unsigned char information[sizeof(FILE_NAME_INFO) + 2 * 32768];
  auto* name = reinterpret_cast<FILE_NAME_INFO*>(information);
  if (!win32_api.GetFileInformationByHandleEx(handle, FileNameInfo, name, sizeof information)) return 0;
  uint32_t units = name->FileNameLength / 2;
  if (units + 1 > capacity) {
    win32_api.SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (uint32_t i = 0; i < units; ++i) buffer[i] = static_cast<wchar16>(name->FileName[i]);
  buffer[units] = 0;
  return units;
}

bool platform_same_names(const wchar16* a, uint32_t a_units, const wchar16* b, uint32_t b_units) {
  return win32_api.CompareStringOrdinal(reinterpret_cast<const wchar_t*>(a), static_cast<int>(a_units),
                                        reinterpret_cast<const wchar_t*>(b), static_cast<int>(b_units),
                                        TRUE) == CSTR_EQUAL;
}

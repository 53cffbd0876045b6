// Tree walk, entry metadata and content reading through the Win32 table.
#include <cstring>

#include "agent/platform/platform.h"
#include "agent/platform/win32/win32_api.h"

#include <winioctl.h>

static_assert(sizeof(wchar_t) == sizeof(wchar16));

static uint64_t ticks_of(FILETIME time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool platform_file_information(PlatformHandle handle, PlatformFileInformation* information) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!win32_api.GetFileInformationByHandle(handle, &info)) return false;
  information->attributes = info.dwFileAttributes;
  information->creation_time = ticks_of(info.ftCreationTime);
  information->last_access_time = ticks_of(info.ftLastAccessTime);
  information->last_write_time = ticks_of(info.ftLastWriteTime);
  information->volume_serial = info.dwVolumeSerialNumber;
  information->size_high = info.nFileSizeHigh;
  information->size_low = info.nFileSizeLow;
  information->link_count = info.nNumberOfLinks;
  information->index_high = info.nFileIndexHigh;
  information->index_low = info.nFileIndexLow;
  return true;
}

bool platform_file_size(PlatformHandle handle, int64_t* size) {
  LARGE_INTEGER value;
  if (!win32_api.GetFileSizeEx(handle, &value)) return false;
  *size = value.QuadPart;
  return true;
}

bool platform_reparse_data(PlatformHandle handle, void* buffer, uint32_t capacity, uint32_t* returned) {
  DWORD bytes = 0;
  BOOL ok = win32_api.DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer, capacity, &bytes, nullptr);
  *returned = bytes;
  return ok != 0;
}

bool platform_read_file(PlatformHandle handle, void* buffer, uint32_t length, uint32_t* read) {
  DWORD bytes = 0;
  BOOL ok = win32_api.ReadFile(handle, buffer, length, &bytes, nullptr);
  *read = bytes;
  return ok != 0;
}

static void copy_name(const WCHAR* from, wchar16 name[WIN_MAX_PATH]) {
  memcpy(name, from, sizeof(WIN32_FIND_DATAW::cFileName));
  name[WIN_MAX_PATH - 1] = 0;
}

PlatformHandle platform_find_first_file(const wchar16* pattern, wchar16 name[WIN_MAX_PATH], uint32_t* attributes) {
  WIN32_FIND_DATAW data;
  HANDLE search = win32_api.FindFirstFileW(reinterpret_cast<const wchar_t*>(pattern), &data);
  if (search == INVALID_HANDLE_VALUE) return PLATFORM_INVALID_HANDLE;
  copy_name(data.cFileName, name);
  *attributes = data.dwFileAttributes;
  return search;
}

bool platform_find_next_file(PlatformHandle search, wchar16 name[WIN_MAX_PATH], uint32_t* attributes) {
  WIN32_FIND_DATAW data;
  if (!win32_api.FindNextFileW(search, &data)) return false;
  copy_name(data.cFileName, name);
  *attributes = data.dwFileAttributes;
  return true;
}

static void copy_stream(const WIN32_FIND_STREAM_DATA& data, PlatformStreamData* stream) {
  stream->size = data.StreamSize.QuadPart;
  memcpy(stream->name, data.cStreamName, sizeof stream->name);
  stream->name[WIN_STREAM_NAME_UNITS - 1] = 0;
}

PlatformHandle platform_find_first_stream(const wchar16* path, PlatformStreamData* stream) {
  WIN32_FIND_STREAM_DATA data;
  HANDLE search =
      win32_api.FindFirstStreamW(reinterpret_cast<const wchar_t*>(path), FindStreamInfoStandard, &data, 0);
  if (search == INVALID_HANDLE_VALUE) return PLATFORM_INVALID_HANDLE;
  copy_stream(data, stream);
  return search;
}

bool platform_find_next_stream(PlatformHandle search, PlatformStreamData* stream) {
  WIN32_FIND_STREAM_DATA data;
  if (!win32_api.FindNextStreamW(search, &data)) return false;
  copy_stream(data, stream);
  return true;
}

bool platform_find_close(PlatformHandle search) { return win32_api.FindClose(search) != 0; }

uint32_t platform_security_descriptor(PlatformHandle handle, void** descriptor) {
  PSECURITY_DESCRIPTOR result = nullptr;
  DWORD code = win32_api.GetSecurityInfo(handle, SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                             DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, nullptr, nullptr, &result);
  *descriptor = result;
  return code;
}

uint32_t platform_security_descriptor_length(const void* descriptor) {
  return win32_api.GetSecurityDescriptorLength(const_cast<void*>(descriptor));
}

void platform_local_free(void* memory) { win32_api.LocalFree(memory); }

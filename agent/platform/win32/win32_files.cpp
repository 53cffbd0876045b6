// File, path and descriptor operations of the platform seam.
#include <cstdio>
#include <fcntl.h>

#include "agent/platform/platform.h"
#include "agent/platform/win32/win32_api.h"

static const wchar_t* as_wide(const wchar16* text) { return reinterpret_cast<const wchar_t*>(text); }
static wchar_t* as_wide(wchar16* text) { return reinterpret_cast<wchar_t*>(text); }

uint32_t platform_full_path(const wchar16* path, uint32_t capacity, wchar16* buffer) {
  return win32_api.GetFullPathNameW(as_wide(path), capacity, as_wide(buffer), nullptr);
}

uint32_t platform_file_attributes(const wchar16* path) { return win32_api.GetFileAttributesW(as_wide(path)); }

uint32_t platform_temp_path(uint32_t capacity, wchar16* buffer) {
  return win32_api.GetTempPathW(capacity, as_wide(buffer));
}

PlatformHandle platform_create_file(const wchar16* path, uint32_t access, uint32_t share, uint32_t disposition,
                                    uint32_t flags_and_attributes) {
  HANDLE h = win32_api.CreateFileW(as_wide(path), access, share, nullptr, disposition, flags_and_attributes,
                                   nullptr);
  return h == INVALID_HANDLE_VALUE ? PLATFORM_INVALID_HANDLE : h;
}

bool platform_close_handle(PlatformHandle handle) { return win32_api.CloseHandle(handle) != 0; }

uint32_t platform_final_path(PlatformHandle handle, wchar16* buffer, uint32_t capacity) {
  return win32_api.GetFinalPathNameByHandleW(handle, as_wide(buffer), capacity, 0);
}

uint32_t platform_final_path_opened(PlatformHandle handle, wchar16* buffer, uint32_t capacity) {
  return win32_api.GetFinalPathNameByHandleW(handle, as_wide(buffer), capacity, FILE_NAME_OPENED);
}

uint32_t platform_final_path_nt(PlatformHandle handle, wchar16* buffer, uint32_t capacity) {
  return win32_api.GetFinalPathNameByHandleW(handle, as_wide(buffer), capacity, VOLUME_NAME_NT);
}

int platform_open_descriptor(PlatformHandle handle, int flags) {
  return static_cast<int>(win32_api.open_osfhandle(reinterpret_cast<intptr_t>(handle), flags));
}

int64_t platform_seek(int fd, int64_t offset) { return win32_api.lseeki64(fd, offset, SEEK_SET); }
int platform_read(int fd, void* buffer, uint32_t length) { return win32_api.read(fd, buffer, length); }
int platform_write(int fd, const void* data, uint32_t length) { return win32_api.write(fd, data, length); }
int platform_close(int fd) { return win32_api.close(fd); }

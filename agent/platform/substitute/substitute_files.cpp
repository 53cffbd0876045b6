// File, path and descriptor operations of the substitute volume.
#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <unistd.h>

#include "agent/platform/platform.h"
#include "agent/platform/substitute/substitute_volume.h"

namespace {
// Descriptors over substitute handles start high so that real descriptors
// (pipes a test joins to a server) pass straight through to the system.
constexpr int FIRST_SUBSTITUTE_FD = 1000;
std::map<int, SubstituteHandle*> descriptors;
int next_fd = FIRST_SUBSTITUTE_FD;

uint32_t copy_out(const std::u16string& text, uint32_t capacity, wchar16* buffer) {
  if (text.size() + 1 > capacity) return static_cast<uint32_t>(text.size() + 1);
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  return static_cast<uint32_t>(text.size());
}

SubstituteEntry* entry_of(PlatformHandle handle) {
  return substitute_handle_entry(static_cast<SubstituteHandle*>(handle));
}
}  // namespace

uint32_t platform_full_path(const wchar16* path, uint32_t capacity, wchar16* buffer) {
  std::u16string text(path);
  if (substitute_call({"GetFullPathNameW", text})) return 0;
  if (text.empty()) {
    substitute_fail(WIN_ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Too small a buffer: the size needed, terminator included (GetFullPathNameW).
  return copy_out(substitute_full_path(text), capacity, buffer);
}

uint32_t platform_file_attributes(const wchar16* path) {
  if (substitute_call({"GetFileAttributesW", path})) return WIN_INVALID_FILE_ATTRIBUTES;
  std::u16string reached;
  if (!substitute_follow_parents(substitute_key(path), reached)) return WIN_INVALID_FILE_ATTRIBUTES;
  SubstituteEntry* entry = substitute_find(reached);
  if (entry == nullptr) {
    substitute_fail(WIN_ERROR_FILE_NOT_FOUND);
    return WIN_INVALID_FILE_ATTRIBUTES;
  }
  return substitute_visible_attributes(*entry, false);
}

uint32_t platform_temp_path(uint32_t capacity, wchar16* buffer) {
  if (const SubstituteFault* fault = substitute_fault("GetTempPathW", u"")) return fault->answer.value_or(0);
  return copy_out(substitute.temp_directory, capacity, buffer);
}

PlatformHandle platform_create_file(const wchar16* path, uint32_t access, uint32_t share, uint32_t disposition,
                                    uint32_t flags_and_attributes) {
  std::u16string key = substitute_key(path);
  if (substitute_call({"CreateFileW", key, access, share, disposition, flags_and_attributes})) {
    return PLATFORM_INVALID_HANDLE;
  }
  if (disposition == WIN_OPEN_EXISTING) return substitute_open_existing(key, access, share, flags_and_attributes);
  SubstituteEntry* entry = substitute_find(key);
  if (disposition == WIN_CREATE_NEW) {
    if (entry != nullptr) {
      substitute_fail(WIN_ERROR_FILE_EXISTS);
      return PLATFORM_INVALID_HANDLE;
    }
    entry = &substitute_add_file(key, {});
    entry->attributes = flags_and_attributes & 0xFFFF;
    entry->delete_on_close = (flags_and_attributes & WIN_FILE_FLAG_DELETE_ON_CLOSE) != 0;
  } else if (entry == nullptr) {
    substitute_fail(WIN_ERROR_FILE_NOT_FOUND);
    return PLATFORM_INVALID_HANDLE;
  } else if (substitute_sharing_conflict(*entry, u"", access, share, flags_and_attributes)) {
    substitute_fail(WIN_ERROR_SHARING_VIOLATION);
    return PLATFORM_INVALID_HANDLE;
  }
  entry->open_count++;
  auto* handle = new SubstituteHandle{substitute.entries.find(substitute_resolve(key))->first, access, share,
                                      flags_and_attributes, 0, u"", entry->object_id};
  substitute.open_handles.push_back(handle);
  return handle;
}

bool platform_close_handle(PlatformHandle handle) {
  auto* h = static_cast<SubstituteHandle*>(handle);
  substitute_forget_handle(h);
  SubstituteEntry* entry = substitute_handle_entry(h);
  if (entry != nullptr && --entry->open_count == 0 && entry->delete_on_close) {
    // Tests read what was written to a delete-on-close file after it is gone.
    substitute.deleted_files[h->path] = std::move(entry->content);
    substitute.entries.erase(h->path);
  }
  delete h;
  return true;
}

// GetFinalPathNameByHandleW with VOLUME_NAME_DOS (0) or VOLUME_NAME_NT (2),
// and FILE_NAME_OPENED (8) or not.
static uint32_t final_path(PlatformHandle handle, wchar16* buffer, uint32_t capacity, uint32_t form) {
  auto* h = static_cast<SubstituteHandle*>(handle);
  SubstituteCall call{.operation = "GetFinalPathNameByHandleW", .path = h->path, .flags = form};
  if (const SubstituteFault* fault = substitute_call(call)) return fault->answer.value_or(0);
  std::u16string path;
  uint32_t code = substitute_final_path(h, form, path);
  if (code != 0) {
    substitute_fail(code);
    return 0;
  }
  return copy_out(path, capacity, buffer);
}

uint32_t platform_final_path(PlatformHandle handle, wchar16* buffer, uint32_t capacity) {
  return final_path(handle, buffer, capacity, 0);
}

uint32_t platform_final_path_opened(PlatformHandle handle, wchar16* buffer, uint32_t capacity) {
  return final_path(handle, buffer, capacity, WIN_FILE_NAME_OPENED);
}

uint32_t platform_final_path_nt(PlatformHandle handle, wchar16* buffer, uint32_t capacity) {
  return final_path(handle, buffer, capacity, 2);
}

int platform_open_descriptor(PlatformHandle handle, int flags) {
  (void)flags;
  auto* h = static_cast<SubstituteHandle*>(handle);
  if (substitute_fault("_open_osfhandle", h == nullptr ? u"" : h->path)) return -1;
  int fd = next_fd++;
  descriptors[fd] = h;
  return fd;
}

int64_t platform_seek(int fd, int64_t offset) {
  auto it = descriptors.find(fd);
  if (it == descriptors.end()) return ::lseek(fd, offset, SEEK_SET);
  if (offset < 0) return -1;
  it->second->position = static_cast<uint64_t>(offset);
  return offset;
}

int platform_read(int fd, void* buffer, uint32_t length) {
  auto it = descriptors.find(fd);
  if (it == descriptors.end()) return static_cast<int>(::read(fd, buffer, length));
  SubstituteEntry* entry = entry_of(it->second);
  if (entry == nullptr) return -1;
  uint64_t position = it->second->position;
  if (position >= entry->content.size()) return 0;
  size_t n = std::min<size_t>(length, entry->content.size() - position);
  std::copy_n(entry->content.begin() + static_cast<ptrdiff_t>(position), n, static_cast<uint8_t*>(buffer));
  it->second->position += n;
  return static_cast<int>(n);
}

int platform_write(int fd, const void* data, uint32_t length) {
  auto it = descriptors.find(fd);
  if (it == descriptors.end()) return static_cast<int>(::write(fd, data, length));
  SubstituteEntry* entry = entry_of(it->second);
  if (entry == nullptr) return -1;
  uint64_t end = it->second->position + length;
  if (entry->content.size() < end) entry->content.resize(end);
  std::copy_n(static_cast<const uint8_t*>(data), length,
              entry->content.begin() + static_cast<ptrdiff_t>(it->second->position));
  it->second->position = end;
  return static_cast<int>(length);
}

int platform_close(int fd) {
  auto it = descriptors.find(fd);
  if (it == descriptors.end()) return ::close(fd);
  platform_close_handle(it->second);
  descriptors.erase(it);
  return 0;
}

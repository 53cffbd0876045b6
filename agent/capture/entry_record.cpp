#include "agent/capture/entry_record.h"

#include <cstring>

#include "agent/capture/manifest_writer.h"
#include "agent/run_control/fatal_error.h"
#include "core/byte_order.h"

constexpr int64_t FILETIME_UNIX_EPOCH = 116444736000000000ll;
constexpr int64_t FILETIME_TICKS_PER_SECOND = 10000000;

void filetime_to_mtime(int64_t filetime, int64_t* seconds, uint32_t* nanoseconds) {
  int64_t ticks = filetime - FILETIME_UNIX_EPOCH;
  int64_t quotient = ticks / FILETIME_TICKS_PER_SECOND;
  int64_t remainder = ticks % FILETIME_TICKS_PER_SECOND;
  // C++ division truncates towards zero; times before 1970 round down instead.
  if (remainder < 0) {
    remainder += FILETIME_TICKS_PER_SECOND;
    quotient -= 1;
  }
  *seconds = quotient;
  *nanoseconds = static_cast<uint32_t>(remainder * 100);
}

void write_entry_record(PlatformHandle handle, const PlatformFileInformation& information, const char* path,
                        bool directory, uint64_t size, const void* reparse_data, uint32_t reparse_length) {
  size_t path_length = strlen(path);
  if (path_length == 0 || path_length > ENTRY_PATH_MAX_BYTES) fatal_error("UTF-8 path exceeds manifest limit");

  void* descriptor = nullptr;
  uint32_t code = platform_security_descriptor(handle, &descriptor);
  if (code != 0) {
    // The code comes back as a result; the fatal line must show it.
    platform_set_last_error(code);
    fatal_error("read file owner and ACL: %s", path);
  }
  uint32_t descriptor_length = platform_security_descriptor_length(descriptor);
  if (descriptor_length == 0 || descriptor_length > SECURITY_DESCRIPTOR_MAX_BYTES) {
    fatal_error("security descriptor too large");
  }

  uint32_t mode = directory ? MODE_DIRECTORY : MODE_OTHER;
  if (directory) size = 0;
  auto modified = static_cast<int64_t>(information.last_write_time);
  if (modified < 0) fatal_error("timestamp outside supported range: %s", path);
  int64_t mtime_sec;
  uint32_t mtime_nsec;
  filetime_to_mtime(modified, &mtime_sec, &mtime_nsec);

  uint64_t record_start = manifest_end;
  uint8_t header[ENTRY_HEADER_BYTES] = {};
  put_u32le(header + 0, static_cast<uint32_t>(path_length));
  put_u32le(header + 8, mode);
  put_u64le(header + 24, size);
  put_u64le(header + 32, static_cast<uint64_t>(mtime_sec));
  put_u32le(header + 40, mtime_nsec);
  manifest_write_at(manifest_end, header, sizeof header);
  manifest_end += sizeof header;
  manifest_write_at(manifest_end, path, path_length);
  manifest_end += path_length;
  uint64_t attributes_start = manifest_end;

  uint8_t value[12];
  put_u32le(value, information.attributes);
  append_attribute(ATTRIBUTE_ATTRIBUTES, value, 4);
  put_u64le(value, information.creation_time);
  append_attribute(ATTRIBUTE_CREATED, value, 8);
  put_u32le(value, information.volume_serial);
  put_u32le(value + 4, information.index_high);
  put_u32le(value + 8, information.index_low);
  append_attribute(ATTRIBUTE_FILEID, value, 12);
  put_u64le(value, information.last_write_time);
  append_attribute(ATTRIBUTE_MODIFIED, value, 8);
  if (reparse_length != 0) append_attribute(ATTRIBUTE_REPARSE, reparse_data, reparse_length);
  append_attribute(ATTRIBUTE_SECURITY, descriptor, descriptor_length);
  platform_local_free(descriptor);

  // Six attributes of at most 16384 and 65536 bytes: the length fits in 32 bits.
  uint8_t attributes_length[4];
  put_u32le(attributes_length, static_cast<uint32_t>(manifest_end - attributes_start));
  manifest_write_at(record_start + 20, attributes_length, sizeof attributes_length);
}

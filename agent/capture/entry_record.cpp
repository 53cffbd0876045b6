#include "agent/capture/entry_record.h"

#include <cstring>

#include "agent/capture/manifest_writer.h"
#include "agent/run_control/fatal_error.h"
#include "core/byte_order.h"
#include "core/manifest_format.h"
#include "core/manifest_reader.h"

void write_entry_record(PlatformHandle handle, const PlatformFileInformation& information, const char* path,
                        bool directory, uint64_t size, const void* reparse_data, uint32_t reparse_length) {
  size_t path_length = strlen(path);
  if (path_length == 0 || path_length > kManifestMaxPathLength) fatal_error("UTF-8 path exceeds manifest limit");

  void* descriptor = nullptr;
  uint32_t code = platform_security_descriptor(handle, &descriptor);
  if (code != 0) {
    // The code comes back as a result; the fatal line must show it.
    platform_set_last_error(code);
    fatal_error("read file owner and ACL: %s", path);
  }
  uint32_t descriptor_length = platform_security_descriptor_length(descriptor);
  if (descriptor_length == 0 || descriptor_length > kAttributeSecurityMaxLength) {
    fatal_error("security descriptor too large");
  }

  uint32_t mode = directory ? kModeDirectory : kModeOther;
  if (directory) size = 0;
  auto modified = static_cast<int64_t>(information.last_write_time);
  if (modified < 0) fatal_error("timestamp outside supported range: %s", path);
  int64_t mtime_sec;
  uint32_t mtime_nsec;
  filetime_to_unix_time(modified, &mtime_sec, &mtime_nsec);

  uint64_t record_start = manifest_end;
  // The reserved words stay zero; attributes_length is filled in at the end.
  uint8_t header[kEntryHeaderSize] = {};
  put_u32le(header + kEntryPathLengthOffset, static_cast<uint32_t>(path_length));
  put_u32le(header + kEntryModeOffset, mode);
  put_u64le(header + kEntrySizeOffset, size);
  put_u64le(header + kEntryMtimeSecOffset, static_cast<uint64_t>(mtime_sec));
  put_u32le(header + kEntryMtimeNsecOffset, mtime_nsec);
  manifest_write_at(manifest_end, header, sizeof header);
  manifest_end += sizeof header;
  manifest_write_at(manifest_end, path, path_length);
  manifest_end += path_length;
  uint64_t attributes_start = manifest_end;

  // An entry recorded without its reparse data was captured as the content a
  // filter presents (compression, deduplication, local cloud files): it is
  // recorded as what it was captured as, an ordinary file or folder, so that
  // its metadata can be put back. Placeholders keep the bit with their data.
  uint32_t attributes = information.attributes;
  if (reparse_length == 0) attributes &= ~WIN_FILE_ATTRIBUTE_REPARSE_POINT;
  uint8_t value[kAttributeFileIdLength];
  put_u32le(value, attributes);
  append_attribute(kAttributeNameAttributes, value, kAttributeAttributesLength);
  put_u64le(value, information.creation_time);
  append_attribute(kAttributeNameCreated, value, kAttributeCreatedLength);
  put_u32le(value + kFileIdVolumeSerialOffset, information.volume_serial);
  put_u32le(value + kFileIdIndexHighOffset, information.index_high);
  put_u32le(value + kFileIdIndexLowOffset, information.index_low);
  append_attribute(kAttributeNameFileId, value, kAttributeFileIdLength);
  put_u64le(value, information.last_write_time);
  append_attribute(kAttributeNameModified, value, kAttributeModifiedLength);
  if (reparse_length != 0) append_attribute(kAttributeNameReparse, reparse_data, reparse_length);
  append_attribute(kAttributeNameSecurity, descriptor, descriptor_length);
  platform_local_free(descriptor);

  // Six attributes of at most 16384 and 65536 bytes: the length fits in 32 bits.
  uint8_t attributes_length[sizeof(uint32_t)];
  put_u32le(attributes_length, static_cast<uint32_t>(manifest_end - attributes_start));
  manifest_write_at(record_start + kEntryAttributesLengthOffset, attributes_length, sizeof attributes_length);
}

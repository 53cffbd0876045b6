#include "agent/capture/entry_record.h"

#include <cstring>

#include "agent/capture/manifest_writer.h"
#include "agent/run_control/fatal_error.h"
#include "core/byte_order.h"
#include "core/manifest_format.h"
#include "core/manifest_reader.h"

// Working storage for the record being written; every entry reuses it.
static RecordBuffer record;

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

  // The record is assembled whole and appended with one write; its header
  // goes in last, once the attributes' length is known.
  record.length = kEntryHeaderSize;
  memcpy(record.bytes + record.length, path, path_length);
  record.length += static_cast<uint32_t>(path_length);
  uint32_t attributes_start = record.length;

  // An entry recorded without its reparse data was captured as the content a
  // filter presents (compression, deduplication, local cloud files): it is
  // recorded as what it was captured as, an ordinary file or folder, so that
  // its metadata can be put back. Placeholders keep the bit with their data.
  uint32_t attributes = information.attributes;
  if (reparse_length == 0) attributes &= ~WIN_FILE_ATTRIBUTE_REPARSE_POINT;
  uint8_t value[kAttributeFileIdLength];
  put_u32le(value, attributes);
  append_attribute(record, kAttributeNameAttributes, value, kAttributeAttributesLength);
  put_u64le(value, information.creation_time);
  append_attribute(record, kAttributeNameCreated, value, kAttributeCreatedLength);
  put_u32le(value + kFileIdVolumeSerialOffset, information.volume_serial);
  put_u32le(value + kFileIdIndexHighOffset, information.index_high);
  put_u32le(value + kFileIdIndexLowOffset, information.index_low);
  append_attribute(record, kAttributeNameFileId, value, kAttributeFileIdLength);
  put_u64le(value, information.last_write_time);
  append_attribute(record, kAttributeNameModified, value, kAttributeModifiedLength);
  if (reparse_length != 0) append_attribute(record, kAttributeNameReparse, reparse_data, reparse_length);
  append_attribute(record, kAttributeNameSecurity, descriptor, descriptor_length);
  platform_local_free(descriptor);

  // The reserved words stay zero.
  uint8_t* header = record.bytes;
  memset(header, 0, kEntryHeaderSize);
  put_u32le(header + kEntryPathLengthOffset, static_cast<uint32_t>(path_length));
  put_u32le(header + kEntryModeOffset, mode);
  put_u32le(header + kEntryAttributesLengthOffset, record.length - attributes_start);
  put_u64le(header + kEntrySizeOffset, size);
  put_u64le(header + kEntryMtimeSecOffset, static_cast<uint64_t>(mtime_sec));
  put_u32le(header + kEntryMtimeNsecOffset, mtime_nsec);
  manifest_write_at(manifest_end, record.bytes, record.length);
  manifest_end += record.length;
}

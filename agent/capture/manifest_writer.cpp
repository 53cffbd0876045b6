#include "agent/capture/manifest_writer.h"

#include <cstring>

#include "agent/platform/platform.h"
#include "agent/run_control/fatal_error.h"
#include "agent/run_control/process_resources.h"
#include "core/byte_order.h"

void manifest_write_at(uint64_t offset, const void* data, uint64_t length) {
  // A write that ends exactly at 4 GiB is allowed.
  if (offset > kManifestMaxSize || length > kManifestMaxSize - offset) fatal_error("manifest exceeds 4 GiB");
  if (platform_seek(manifest_fd, static_cast<int64_t>(offset)) < 0) fatal_error("seek manifest");
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (length > 0) {
    uint32_t piece = length > 65536 ? 65536 : static_cast<uint32_t>(length);
    int written = platform_write(manifest_fd, bytes, piece);
    if (written <= 0) fatal_error("write manifest");
    bytes += written;
    length -= static_cast<uint64_t>(written);
  }
}

void manifest_begin() {
  manifest_write_at(0, kManifestMagic, kManifestMagicSize);
  manifest_end = kManifestMagicSize;
}

void append_attribute(RecordBuffer& record, const char* name, const void* value, uint32_t length) {
  uint32_t name_length = static_cast<uint32_t>(strlen(name));
  uint8_t* at = record.bytes + record.length;
  put_u32le(at + kAttributeNameLengthOffset, name_length);
  put_u32le(at + kAttributeValueLengthOffset, length);
  memcpy(at + kAttributeRecordHeaderSize, name, name_length);
  memcpy(at + kAttributeRecordHeaderSize + name_length, value, length);
  record.length += kAttributeRecordHeaderSize + name_length + length;
}

#include "agent/metadata_restore/security_descriptor_rules.h"

namespace {
uint16_t u16_at(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t u32_at(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// A part's offset: 0 means absent; otherwise past the header and leaving at
// least eight bytes (the fixed start of a SID or an ACL).
bool offset_in_range(uint32_t offset, uint32_t length) {
  return offset >= SD_HEADER_SIZE && offset <= length - 8;
}

bool sid_fits(const uint8_t* d, uint32_t length, uint32_t offset) {
  if (!offset_in_range(offset, length)) return false;
  if (d[offset] != 1) return false;
  uint32_t count = d[offset + 1];
  if (count > 15) return false;
  return 8 + 4 * count <= length - offset;
}

bool acl_fits(const uint8_t* d, uint32_t length, uint32_t offset) {
  if (!offset_in_range(offset, length)) return false;
  uint32_t acl_size = u16_at(d + offset + 2);
  if (acl_size < 8 || acl_size > length - offset) return false;
  uint32_t ace_count = u16_at(d + offset + 4);
  uint32_t position = 8;
  for (uint32_t i = 0; i < ace_count; ++i) {
    // The ACE's own 4-byte header must lie inside the ACL before its size is read.
    if (position > acl_size - 4) return false;
    uint32_t ace_size = u16_at(d + offset + position + 2);
    if (ace_size < 4 || ace_size > acl_size - position) return false;
    position += ace_size;
  }
  return true;
}
}  // namespace

bool validate_security_descriptor(const uint8_t* d, uint32_t length) {
  if (length < SD_HEADER_SIZE) return false;
  if (d[0] != 1) return false;
  if ((u16_at(d + 2) & SD_SELF_RELATIVE) == 0) return false;
  uint32_t owner = u32_at(d + 4);
  uint32_t group = u32_at(d + 8);
  uint32_t sacl = u32_at(d + 12);
  uint32_t dacl = u32_at(d + 16);
  if (owner != 0 && !sid_fits(d, length, owner)) return false;
  if (group != 0 && !sid_fits(d, length, group)) return false;
  if (sacl != 0 && !acl_fits(d, length, sacl)) return false;
  if (dacl != 0 && !acl_fits(d, length, dacl)) return false;
  return true;
}

#include "tests/metadata_restore/metadata_file_builder.h"

#include <blake3.h>

void set_le(Bytes& out, size_t at, uint64_t value, int size) {
  for (int i = 0; i < size; ++i) out[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t get_le(const Bytes& in, size_t at, int size) {
  uint64_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = (value << 8) | in[at + static_cast<size_t>(i)];
  return value;
}

std::vector<uint64_t> record_offsets(const std::vector<TestRecord>& records) {
  std::vector<uint64_t> offsets;
  uint64_t at = 8;
  for (const auto& r : records) {
    offsets.push_back(at);
    at += 40 + r.path.size() + r.descriptor.size();
  }
  return offsets;
}

Bytes build_metadata_file(const std::vector<TestRecord>& records) {
  Bytes file = {'V', 'A', 'R', 'W', 'M', 'D', '0', '1'};
  uint64_t previous = 0;
  for (const auto& r : records) {
    uint64_t offset = file.size();
    put_le(file, previous, 8);
    put_le(file, r.path.size(), 4);
    put_le(file, r.descriptor.size(), 4);
    put_le(file, r.kind, 4);
    put_le(file, r.attributes, 4);
    put_le(file, r.creation_time, 8);
    put_le(file, r.last_write_time, 8);
    file.insert(file.end(), r.path.begin(), r.path.end());
    file.insert(file.end(), r.descriptor.begin(), r.descriptor.end());
    previous = offset;
  }
  put_le(file, previous, 8);
  file.resize(file.size() + 32);
  fix_checksum(file);
  return file;
}

void fix_checksum(Bytes& file) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, file.data(), file.size() - 32);
  blake3_hasher_finalize(&hasher, file.data() + file.size() - 32, 32);
}

Bytes test_descriptor(bool protected_dacl) {
  Bytes d;
  d.push_back(1);                                          // revision
  d.push_back(0);                                          // Sbz1
  put_le(d, 0x8004 | (protected_dacl ? 0x1000 : 0), 2);    // SELF_RELATIVE | DACL_PRESENT
  put_le(d, TD_OWNER, 4);
  put_le(d, TD_GROUP, 4);
  put_le(d, 0, 4);                                         // no SACL
  put_le(d, TD_DACL, 4);
  // S-1-5-32-544
  d.insert(d.end(), {1, 2, 0, 0, 0, 0, 0, 5});
  put_le(d, 32, 4);
  put_le(d, 544, 4);
  // S-1-5-18
  d.insert(d.end(), {1, 1, 0, 0, 0, 0, 0, 5});
  put_le(d, 18, 4);
  // ACL: revision 2, size 28, one ACE
  d.insert(d.end(), {2, 0});
  put_le(d, 28, 2);
  put_le(d, 1, 2);
  put_le(d, 0, 2);
  // ACCESS_ALLOWED_ACE, inherit to objects and containers, full access, SYSTEM
  d.insert(d.end(), {0, 3});
  put_le(d, 20, 2);
  put_le(d, 0x001F01FF, 4);
  d.insert(d.end(), {1, 1, 0, 0, 0, 0, 0, 5});
  put_le(d, 18, 4);
  return d;
}

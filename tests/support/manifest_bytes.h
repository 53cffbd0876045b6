// Manifests assembled byte by byte for tests, from the documented layout and
// independently of the code under test: one record encoder for the reader's,
// the server's and the capture tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/byte_builder.h"

// A minimal self-relative security descriptor: revision 1, SE_SELF_RELATIVE,
// no owner, group or ACLs.
inline Bytes small_security_descriptor() {
  Bytes sd = {0x01, 0x00, 0x00, 0x80};
  sd.resize(20, 0);
  return sd;
}

struct TestEntry {
  std::string path;
  bool directory = false;
  uint64_t size = 0;
  uint64_t modified = 133000000000000000ull;  // FILETIME, 2022
  uint64_t created = 132000000000000000ull;
  uint32_t attributes = 0x20;
  uint32_t fileid[3] = {0x1234, 0, 7};
  Bytes reparse;
  Bytes security = small_security_descriptor();
  std::vector<uint64_t> chunk_ids;  // one per 4096 bytes of size
};

inline TestEntry dir_entry(const std::string& path) {
  TestEntry e;
  e.path = path;
  e.directory = true;
  e.attributes = 0x10;
  return e;
}

inline TestEntry file_entry(const std::string& path, uint64_t size, std::vector<uint64_t> ids) {
  TestEntry e;
  e.path = path;
  e.size = size;
  e.chunk_ids = std::move(ids);
  return e;
}

inline TestEntry reparse_entry(const std::string& path) {
  TestEntry e;
  e.path = path;
  e.attributes = 0x410;
  e.reparse = {0x03, 0x00, 0x00, 0xA0, 0x00, 0x00, 0x00, 0x00};  // junction tag, no data
  return e;
}

inline void put_attribute(Bytes& b, const std::string& name, const Bytes& value) {
  put_u32(b, static_cast<uint32_t>(name.size()));
  put_u32(b, static_cast<uint32_t>(value.size()));
  put_text(b, name);
  put_bytes(b, value);
}

// One record as the manifest layout describes it, every field given: the
// mtime split is the test's own, worked out by hand from the FILETIME.
struct GoldenRecord {
  std::string path;
  uint32_t mode;
  uint64_t size;
  int64_t mtime_sec;
  uint32_t mtime_nsec;
  uint32_t attributes;
  uint64_t created;
  uint32_t serial;
  uint32_t index_high;
  uint32_t index_low;
  uint64_t modified;
  Bytes reparse;
  Bytes security;
};

inline Bytes record_bytes(const GoldenRecord& r, const std::vector<uint64_t>& slots) {
  Bytes attrs;
  Bytes v;
  put_u32(v, r.attributes);
  put_attribute(attrs, "user.vardokeep.windows.attributes", v);
  v.clear();
  put_u64(v, r.created);
  put_attribute(attrs, "user.vardokeep.windows.created", v);
  v.clear();
  put_u32(v, r.serial);
  put_u32(v, r.index_high);
  put_u32(v, r.index_low);
  put_attribute(attrs, "user.vardokeep.windows.fileid", v);
  v.clear();
  put_u64(v, r.modified);
  put_attribute(attrs, "user.vardokeep.windows.modified", v);
  if (!r.reparse.empty()) put_attribute(attrs, "user.vardokeep.windows.reparse", r.reparse);
  put_attribute(attrs, "user.vardokeep.windows.security", r.security);

  Bytes out;
  put_u32(out, static_cast<uint32_t>(r.path.size()));
  put_u32(out, 0);
  put_u32(out, r.mode);
  put_u32(out, 0);
  put_u32(out, 0);
  put_u32(out, static_cast<uint32_t>(attrs.size()));
  put_u64(out, r.size);
  put_u64(out, static_cast<uint64_t>(r.mtime_sec));
  put_u32(out, r.mtime_nsec);
  put_u32(out, 0);
  put_text(out, r.path);
  put_bytes(out, attrs);
  for (uint64_t id : slots) put_u64(out, id);
  return out;
}

// A record as check writes it: every chunk-ID slot left zero.
inline Bytes golden_record(const GoldenRecord& r) {
  return record_bytes(r, std::vector<uint64_t>((r.size + 4095) / 4096, 0));
}

inline Bytes entry_bytes(const TestEntry& e) {
  const int64_t ticks = static_cast<int64_t>(e.modified - 116444736000000000ull);
  int64_t seconds = ticks / 10000000;
  int64_t rest = ticks % 10000000;
  if (rest < 0) rest += 10000000, seconds -= 1;
  const GoldenRecord r{e.path,       e.directory ? 16877u : 33188u, e.size, seconds, static_cast<uint32_t>(rest * 100),
                       e.attributes, e.created, e.fileid[0], e.fileid[1], e.fileid[2], e.modified, e.reparse,
                       e.security};
  return record_bytes(r, e.chunk_ids);
}

inline Bytes manifest_bytes(const std::vector<TestEntry>& entries) {
  Bytes b;
  put_text(b, "VARDOM06");
  for (const TestEntry& e : entries) put_bytes(b, entry_bytes(e));
  return b;
}

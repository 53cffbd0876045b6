// Manifests assembled byte by byte for tests, from the documented layout and
// independently of the code under test (its own little-endian writes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline void put_u8(Bytes& b, uint8_t v) { b.push_back(v); }
inline void put_u32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_u64(Bytes& b, uint64_t v) {
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_text(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
inline void put_bytes(Bytes& b, const Bytes& s) { b.insert(b.end(), s.begin(), s.end()); }

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

inline Bytes entry_bytes(const TestEntry& e) {
  Bytes attributes;
  Bytes v;
  put_u32(v, e.attributes);
  put_attribute(attributes, "user.vardokeep.windows.attributes", v);
  v.clear();
  put_u64(v, e.created);
  put_attribute(attributes, "user.vardokeep.windows.created", v);
  v.clear();
  put_u32(v, e.fileid[0]);
  put_u32(v, e.fileid[1]);
  put_u32(v, e.fileid[2]);
  put_attribute(attributes, "user.vardokeep.windows.fileid", v);
  v.clear();
  put_u64(v, e.modified);
  put_attribute(attributes, "user.vardokeep.windows.modified", v);
  if (!e.reparse.empty()) put_attribute(attributes, "user.vardokeep.windows.reparse", e.reparse);
  put_attribute(attributes, "user.vardokeep.windows.security", e.security);

  const int64_t ticks = static_cast<int64_t>(e.modified - 116444736000000000ull);
  int64_t seconds = ticks / 10000000;
  int64_t rest = ticks % 10000000;
  if (rest < 0) rest += 10000000, seconds -= 1;

  Bytes b;
  put_u32(b, static_cast<uint32_t>(e.path.size()));
  put_u32(b, 0);
  put_u32(b, e.directory ? 16877 : 33188);
  put_u32(b, 0);
  put_u32(b, 0);
  put_u32(b, static_cast<uint32_t>(attributes.size()));
  put_u64(b, e.size);
  put_u64(b, static_cast<uint64_t>(seconds));
  put_u32(b, static_cast<uint32_t>(rest * 100));
  put_u32(b, 0);
  put_text(b, e.path);
  put_bytes(b, attributes);
  for (uint64_t id : e.chunk_ids) put_u64(b, id);
  return b;
}

inline Bytes manifest_bytes(const std::vector<TestEntry>& entries) {
  Bytes b;
  put_text(b, "VARDOM06");
  for (const TestEntry& e : entries) put_bytes(b, entry_bytes(e));
  return b;
}

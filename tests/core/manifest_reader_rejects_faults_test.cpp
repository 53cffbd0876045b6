// Every way a manifest can be wrong is refused with its own status, and no
// prefix of a valid manifest passes unless it ends on an entry boundary.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/manifest_reader.h"
#include "tests/support/manifest_bytes.h"

namespace {

ManifestStatus validate(const Bytes& manifest, ManifestSlotRule rule = ManifestSlotRule::assigned) {
  ManifestSource source = manifest_memory_source(manifest.data(), manifest.size());
  return manifest_validate(&source, rule, nullptr);
}

// Writes a little-endian u32 into `b` at `offset`.
void poke_u32(Bytes& b, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

struct Case {
  const char* name;
  std::function<Bytes()> build;
  ManifestStatus expected;
};

Bytes with_file(TestEntry file) { return manifest_bytes({dir_entry("."), file}); }

TEST(ManifestReaderRejects, EachFaultWithItsStatus) {
  const uint64_t max_id = 2251799813685246ull;
  const Case cases[] = {
      {"valid control", [] { return with_file(file_entry("f", 10, {1})); }, ManifestStatus::ok},
      {"empty file", [] { return Bytes{}; }, ManifestStatus::too_short},
      {"wrong magic", [] { Bytes b = with_file(file_entry("f", 0, {})); b[7] = '7'; return b; },
       ManifestStatus::bad_magic},
      {"path length 0", [] { Bytes b = manifest_bytes({dir_entry(".")}); poke_u32(b, 8, 0); return b; },
       ManifestStatus::bad_path_length},
      {"path length 4096", [] { Bytes b = manifest_bytes({dir_entry(".")}); poke_u32(b, 8, 4096); return b; },
       ManifestStatus::bad_path_length},
      {"reserved at 44", [] { Bytes b = manifest_bytes({dir_entry(".")}); b[8 + 44] = 1; return b; },
       ManifestStatus::reserved_not_zero},
      {"mode 0644", [] { Bytes b = manifest_bytes({dir_entry(".")}); poke_u32(b, 8 + 8, 0644); return b; },
       ManifestStatus::bad_mode},
      {"directory with size", [] { TestEntry d = dir_entry("d"); d.size = 1; d.chunk_ids = {1}; return with_file(d); },
       ManifestStatus::directory_with_size},
      {"nanoseconds not a multiple of 100",
       [] { Bytes b = manifest_bytes({dir_entry(".")}); b[8 + 40] += 1; return b; }, ManifestStatus::bad_mtime_nsec},
      {"mtime disagrees with modified",
       [] { Bytes b = manifest_bytes({dir_entry(".")}); b[8 + 32] += 1; return b; }, ManifestStatus::mtime_mismatch},
      {"negative last-write time",
       [] { TestEntry f = file_entry("f", 0, {}); f.modified = 1ull << 63; return with_file(f); },
       ManifestStatus::negative_modified_time},
      {"attributes_length one short",
       [] { Bytes b = manifest_bytes({dir_entry(".")}); b[8 + 20] -= 1; return b; },
       ManifestStatus::bad_attribute_record},
      {"attributes_length one long",
       [] { Bytes b = manifest_bytes({dir_entry("."), file_entry("f", 0, {})}); b[8 + 20] += 1; return b; },
       ManifestStatus::bad_attributes_length},
      {"security missing",
       [] {
         Bytes b = manifest_bytes({dir_entry(".")});
         b.resize(b.size() - 8 - 31 - 20);
         poke_u32(b, 8 + 20, 246 - 59);
         return b;
       },
       ManifestStatus::missing_attribute},
      {"attribute names out of order",
       [] { Bytes b = manifest_bytes({dir_entry(".")}); b[8 + 48 + 1 + 8 + 23] = 'x'; return b; },
       ManifestStatus::unexpected_attribute},
      {"fileid value of 8 bytes",
       [] {
         // Rebuild the root with a short fileid value by hand.
         Bytes b = manifest_bytes({dir_entry(".")});
         const size_t fileid = 8 + 48 + 1 + 45 + 46;
         poke_u32(b, fileid + 4, 8);
         b.erase(b.begin() + static_cast<long>(fileid + 8 + 29 + 8), b.begin() + static_cast<long>(fileid + 8 + 29 + 12));
         poke_u32(b, 8 + 20, 242);
         return b;
       },
       ManifestStatus::bad_attribute_value_length},
      {"empty security descriptor",
       [] { TestEntry f = file_entry("f", 0, {}); f.security.clear(); return with_file(f); },
       ManifestStatus::bad_attribute_value_length},
      {"reparse value of 7 bytes",
       [] { TestEntry j = reparse_entry("j"); j.reparse.resize(7); return with_file(j); },
       ManifestStatus::bad_attribute_value_length},
      {"reparse record on a directory",
       [] { TestEntry d = reparse_entry("d"); d.directory = true; d.attributes = 0x410; return with_file(d); },
       ManifestStatus::misplaced_reparse},
      {"reparse record with content",
       [] { TestEntry j = reparse_entry("j"); j.size = 1; j.chunk_ids = {1}; return with_file(j); },
       ManifestStatus::misplaced_reparse},
      {"directory without the directory bit",
       [] { TestEntry d = dir_entry("d"); d.attributes = 0x20; return with_file(d); }, ManifestStatus::kind_mismatch},
      {"file with the directory bit",
       [] { TestEntry f = file_entry("f", 0, {}); f.attributes = 0x10; return with_file(f); },
       ManifestStatus::kind_mismatch},
      {"bad path a//b", [] { return manifest_bytes({dir_entry("."), dir_entry("a"), file_entry("a//b", 0, {})}); },
       ManifestStatus::bad_path},
      {"root not first", [] { return manifest_bytes({file_entry("f", 0, {})}); }, ManifestStatus::misplaced_root},
      {"second root", [] { return manifest_bytes({dir_entry("."), dir_entry(".")}); },
       ManifestStatus::misplaced_root},
      {"child before its directory", [] { return manifest_bytes({dir_entry("."), file_entry("a/f", 0, {})}); },
       ManifestStatus::out_of_walk_order},
      {"child after its directory's streams",
       [] { return manifest_bytes({dir_entry("."), dir_entry("a"), file_entry("a:s", 0, {}), file_entry("a/f", 0, {})}); },
       ManifestStatus::out_of_walk_order},
      {"stream of a file that is not the last one",
       [] { return manifest_bytes({dir_entry("."), file_entry("f", 0, {}), file_entry("g", 0, {}), file_entry("f:s", 0, {})}); },
       ManifestStatus::out_of_walk_order},
      {"stream of a reparse point",
       [] { return manifest_bytes({dir_entry("."), reparse_entry("j"), file_entry("j:s", 0, {})}); },
       ManifestStatus::out_of_walk_order},
      {"same path twice", [] { return manifest_bytes({dir_entry("."), file_entry("f", 0, {}), file_entry("f", 0, {})}); },
       ManifestStatus::duplicate_path},
      {"129 levels",
       [] {
         std::vector<TestEntry> entries = {dir_entry(".")};
         std::string path;
         for (int level = 1; level <= 129; ++level) {
           path += (level == 1 ? "d" : "/d");
           entries.push_back(dir_entry(path));
         }
         return manifest_bytes(entries);
       },
       ManifestStatus::too_deep},
      {"slots cut short", [] { Bytes b = with_file(file_entry("f", 4097, {1, 2})); b.resize(b.size() - 1); return b; },
       ManifestStatus::truncated_slots},
      {"a byte after the last entry", [] { Bytes b = with_file(file_entry("f", 0, {})); b.push_back(0); return b; },
       ManifestStatus::truncated_header},
      {"chunk ID 0", [] { return with_file(file_entry("f", 1, {0})); }, ManifestStatus::bad_chunk_id},
      {"chunk ID 2^51 - 1", [=] { return with_file(file_entry("f", 1, {max_id + 1})); }, ManifestStatus::bad_chunk_id},
      {"chunk ID 2^51 - 2", [=] { return with_file(file_entry("f", 1, {max_id})); }, ManifestStatus::ok},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(validate(c.build()), c.expected) << c.name;
  }
}

TEST(ManifestReaderRejects, SlotRuleZeroRefusesAssignedIds) {
  EXPECT_EQ(validate(with_file(file_entry("f", 8192, {0, 0})), ManifestSlotRule::zero), ManifestStatus::ok);
  EXPECT_EQ(validate(with_file(file_entry("f", 8192, {0, 5})), ManifestSlotRule::zero), ManifestStatus::bad_chunk_id);
  EXPECT_EQ(validate(with_file(file_entry("f", 8192, {0, 5})), ManifestSlotRule::any), ManifestStatus::ok);
}

TEST(ManifestReaderRejects, EveryPrefixThatCutsAnEntryIsRefused) {
  TestEntry f = file_entry("d/f", 5000, {3, 4});
  const Bytes manifest = manifest_bytes({dir_entry("."), dir_entry("d"), f, reparse_entry("d/j")});
  const size_t root_end = 8 + entry_bytes(dir_entry(".")).size();
  const size_t d_end = root_end + entry_bytes(dir_entry("d")).size();
  const size_t f_end = d_end + entry_bytes(f).size();
  for (size_t length = 0; length < manifest.size(); ++length) {
    const Bytes prefix(manifest.begin(), manifest.begin() + static_cast<long>(length));
    const bool boundary = length == 8 || length == root_end || length == d_end || length == f_end;
    EXPECT_EQ(validate(prefix) == ManifestStatus::ok, boundary) << "prefix of " << length << " bytes";
  }
}

TEST(ManifestReaderRejects, PathRules) {
  const struct {
    std::string path;
    bool valid;
  } paths[] = {
      {".", true},           {"a", true},          {"a/b c/d.txt", true},   {".:s", true},
      {"a:Zone.Identifier", true},                  {"\xC3\xA9t\xC3\xA9", true},
      {"", false},           {"/a", false},        {"a/", false},           {"a//b", false},
      {"./a", false},        {"a/./b", false},     {"a/..", false},         {"..", false},
      {"a\\b", false},       {"a:", false},        {"a:b:c", false},        {"a:b/c", false},
      {":s", false},         {std::string("a\0b", 3), false},               {"\xC0\xAF", false},
      {"\xED\xA0\x80", false},                      {"\xF4\x90\x80\x80", false}, {"\xE2\x82", false},
      {std::string(4095, 'x'), true},               {std::string(4096, 'x'), false},
  };
  for (const auto& p : paths) {
    EXPECT_EQ(manifest_path_is_valid(p.path.data(), static_cast<uint32_t>(p.path.size())), p.valid)
        << "path \"" << p.path << "\"";
  }
}

}  // namespace

namespace {

// Compressed, deduplicated and cloud files and folders keep the reparse bit in
// their attribute word but are captured as what they present: no reparse record.
TEST(ManifestReaderKinds, AcceptsDataBearingReparsePointsCapturedAsTheirContent) {
  TestEntry cloud_folder = dir_entry("cloud");
  cloud_folder.attributes = 0x410;
  TestEntry compressed = file_entry("cloud/compressed.dll", 5000, {1, 2});
  compressed.attributes = 0x420;
  EXPECT_EQ(ManifestStatus::ok, validate(manifest_bytes({dir_entry("."), cloud_folder, compressed})));
}

}  // namespace

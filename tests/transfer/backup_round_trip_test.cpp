// Whole backups of the agent's logic over the substitute volume against the
// reference server: the snapshot restores byte for byte, the counters equal
// what the wire carried, known chunks travel no more, and a cut run is resumed
// from the chunks the server kept.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>

#include "agent/platform/substitute/substitute_volume.h"
#include "tests/metadata_restore/apply_metadata_runner.h"
#include "tests/metadata_restore/metadata_file_builder.h"
#include "tests/transfer/support/native_backup.h"
#include "tests/support/refserver_run.h"
#include "tests/transfer/support/sample_tree.h"

namespace {

uint64_t counter(const NativeBackup& run, const std::string& name) {
  std::string value = report_value(run.err, name);
  return value.empty() ? ~uint64_t{0} : std::stoull(value);
}

void expect_counters_match_the_wire(const NativeBackup& run, const WireTally& tally) {
  ASSERT_TRUE(tally.complete) << tally.problem;
  EXPECT_EQ(counter(run, "chunks_checked"), tally.chunks);
  EXPECT_EQ(counter(run, "chunk_bytes_sent"), tally.frame_chunk_bytes);
  EXPECT_EQ(counter(run, "chunk_wire_bytes_sent"), tally.frame_wire_bytes);
  EXPECT_EQ(counter(run, "manifest_bytes"), tally.manifest_length);
}

void expect_snapshot_restores(const std::string& store, const NativeBackup& run, const SampleTree& tree) {
  std::string errors;
  std::string restored = restore_snapshot(store, report_value(run.err, "snapshot"), &errors);
  ASSERT_FALSE(restored.empty()) << errors;
  std::string expected = fresh_directory("expected");
  write_sample_tree(tree, expected);
  EXPECT_TRUE(same_tree(expected, restored)) << expected << " and " << restored << " differ";
}

TEST(BackupRoundTrip, EachDistinctChunkTravelsOnceAndTheCountersAreWhatWasSent) {
  SampleTree tree = sample_tree(5, 2);
  ChunkTotals totals = chunk_totals(tree);
  std::string store = fresh_directory("store");
  load_tree_into_substitute(tree);

  NativeBackup first = run_native_backup(store);
  ASSERT_EQ(first.exit_code, 0) << first.err << first.server_err;
  EXPECT_EQ(first.server_status, 0) << first.server_err;
  WireTally tally = tally_wire(first.to_server, first.from_server);
  expect_counters_match_the_wire(first, tally);
  EXPECT_EQ(tally.chunks, totals.chunks);
  EXPECT_EQ(tally.frames, totals.distinct_chunks);
  EXPECT_EQ(tally.frame_chunk_bytes, totals.distinct_chunk_bytes);
  EXPECT_LT(tally.raw_frames, tally.frames) << "compressible chunks travel as LZ4 blocks";
  EXPECT_GT(tally.raw_frames, 0u) << "random chunks travel raw";
  ASSERT_GT(totals.chunks, 256u);
  EXPECT_EQ(tally.largest_batch, 256u) << "the default capacity";
  expect_snapshot_restores(store, first, tree);

  NativeBackup second = run_native_backup(store);
  ASSERT_EQ(second.exit_code, 0) << second.err << second.server_err;
  WireTally known = tally_wire(second.to_server, second.from_server);
  expect_counters_match_the_wire(second, known);
  EXPECT_EQ(known.chunks, totals.chunks);
  EXPECT_EQ(known.frames, 0u);
  EXPECT_EQ(counter(second, "chunk_bytes_sent"), 0u);
  EXPECT_EQ(counter(second, "chunk_wire_bytes_sent"), 0u);
  EXPECT_NE(report_value(second.err, "snapshot"), report_value(first.err, "snapshot"));
  expect_snapshot_restores(store, second, tree);
}

TEST(BackupRoundTrip, BatchCapacityCutsTheChunksIntoFullBatchesAndOneRest) {
  SampleTree tree = sample_tree(6);
  uint64_t chunks = chunk_totals(tree).chunks;
  ASSERT_NE(chunks % 64, 0u);
  std::string store = fresh_directory("store");
  load_tree_into_substitute(tree);
  NativeBackup run = run_native_backup(store, {u"--batch", u"64"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  WireTally tally = tally_wire(run.to_server, run.from_server);
  expect_counters_match_the_wire(run, tally);
  EXPECT_EQ(tally.batches, (chunks + 63) / 64);
  EXPECT_EQ(tally.largest_batch, 64u);
  expect_snapshot_restores(store, run, tree);
}

TEST(BackupRoundTrip, TreeWithoutContentGoesFromHelloToTheFinalMessage) {
  SampleTree tree;
  tree.directories = {"a", "a/b", "vazio"};
  tree.files = {{"a/empty.txt", {}}, {"a/b/also-empty", {}}};
  std::string store = fresh_directory("store");
  load_tree_into_substitute(tree);
  NativeBackup run = run_native_backup(store);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  WireTally tally = tally_wire(run.to_server, run.from_server);
  expect_counters_match_the_wire(run, tally);
  EXPECT_EQ(tally.batches, 0u);
  EXPECT_EQ(run.to_server[9], 0x02) << "the final message follows the hello";
  expect_snapshot_restores(store, run, tree);
}

TEST(BackupRoundTrip, CutConnectionIsResumedWithOnlyTheChunksTheServerLacks) {
  SampleTree tree = sample_tree(7);
  ChunkTotals totals = chunk_totals(tree);
  std::string store = fresh_directory("store");
  load_tree_into_substitute(tree);

  NativeBackup cut = run_native_backup(store, {u"--batch", u"64"}, {"VARDOKEEP_FAULT_CLOSE_AT=ids:2"});
  EXPECT_EQ(cut.exit_code, 1);
  EXPECT_NE(cut.err.find("vardokeep-agent: connection closed; retry to reuse received chunks (Windows error="),
            std::string::npos)
      << cut.err;
  EXPECT_EQ(cut.err.find("snapshot="), std::string::npos);
  WireTally before = tally_wire(cut.to_server, cut.from_server);
  EXPECT_FALSE(before.complete);

  NativeBackup resumed = run_native_backup(store, {u"--batch", u"64"});
  ASSERT_EQ(resumed.exit_code, 0) << resumed.err << resumed.server_err;
  WireTally after = tally_wire(resumed.to_server, resumed.from_server);
  expect_counters_match_the_wire(resumed, after);
  ChildResult check = run_refserver({"check-store", "--store", store});
  EXPECT_NE(check.err.find("store chunks=" + std::to_string(totals.distinct_chunks) + " snapshots=1 problems=0"),
            std::string::npos)
      << check.err;
  // What the cut run's first two batches delivered is not sent again.
  EXPECT_EQ(before.batches, 2u);
  EXPECT_GT(before.frames, 0u);
  EXPECT_EQ(before.frames + after.frames, totals.distinct_chunks);
  expect_snapshot_restores(store, resumed, tree);
}

// The DACL of a self-relative descriptor: its offset at byte 16, its size in
// the ACL header.
Bytes dacl_of(const Bytes& descriptor) {
  if (descriptor.size() < 20) return {};
  const size_t at = get_le(descriptor, 16, 4);
  if (at == 0 || at + 4 > descriptor.size()) return {};
  const size_t size = get_le(descriptor, at + 2, 2);
  if (at + size > descriptor.size()) return {};
  return Bytes(descriptor.begin() + static_cast<long>(at), descriptor.begin() + static_cast<long>(at + size));
}

// test_descriptor with the access mask of its one ACE set to `mask`.
Bytes descriptor_granting(uint32_t mask) {
  Bytes d = test_descriptor();
  set_le(d, TD_ACE + 4, mask, 4);
  return d;
}

// Puts a restored Linux tree below `windows_root`, every entry with the same
// plain metadata, so that only what apply-metadata sets can tell them apart.
void load_restored_tree(const std::string& directory, const std::u16string& windows_root) {
  SubstituteEntry& e = substitute_add_directory(windows_root);
  e.creation_time = e.last_write_time = 133900000000000000ull;
  e.security_descriptor = descriptor_granting(0x00120089);
  DIR* listing = opendir(directory.c_str());
  ASSERT_NE(listing, nullptr) << directory;
  while (dirent* d = readdir(listing)) {
    const std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = directory + "/" + name;
    const std::u16string windows_path = windows_root + u"\\" + u16(name);
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st)) << path;
    if (S_ISDIR(st.st_mode)) {
      load_restored_tree(path, windows_path);
      continue;
    }
    std::ifstream in(path, std::ios::binary);
    SubstituteEntry& f = substitute_add_file(windows_path, Bytes(std::istreambuf_iterator<char>(in), {}));
    f.creation_time = f.last_write_time = 133900000000000000ull;
    f.security_descriptor = descriptor_granting(0x00120089);
  }
  closedir(listing);
}

// Compressed, deduplicated and local cloud files and folders are captured as
// the content their filters present; their metadata must come back through
// the whole way: back up, restore the content, export the metadata file and
// apply it over the restored tree.
TEST(BackupRoundTrip, FilterBackedEntriesGetTheirDaclsTimesAndAttributesBack) {
  struct Source {
    std::string path;
    uint32_t tag;  // 0: not a reparse point
    bool directory;
    bool presents;  // a filter presents its content
    uint32_t attributes;
  };
  const Source sources[] = {
      {"", 0, true, false, 0x10},
      {"wof.dll", 0x80000017, false, true, 0x421},                  // compressed system file, read-only
      {"dedup.vhdx", 0x80000013, false, true, 0x2620},              // deduplicated, sparse, not indexed
      {"OneDrive", 0x9000701A, true, true, 0x413},                  // local cloud folder
      {"OneDrive/notes.txt", 0x9000101A, false, true, 0x422},       // local cloud file, hidden
      {"OneDrive/plain.txt", 0, false, false, 0x24},
      {"OneDrive/Sub", 0x9000701A, true, true, 0x2410},
      {"OneDrive/Sub/deep.bin", 0x9000501A, false, true, 0x420},
      {"junction", 0xA0000003, true, false, 0x410},                 // stays a placeholder
  };
  substitute_reset();
  uint32_t n = 0;
  for (const Source& source : sources) {
    std::u16string path = u"C:\\src";
    if (!source.path.empty()) path += u"\\" + u16(source.path);
    for (auto& c : path) c = c == u'/' ? u'\\' : c;
    Bytes reparse;
    put_le(reparse, source.tag, 4);
    put_le(reparse, 4, 4);
    put_le(reparse, 0xABCDEF01, 4);
    SubstituteEntry& e = source.tag == 0 ? (source.directory ? substitute_add_directory(path)
                                                             : substitute_add_file(path, {}))
                                         : substitute_add_reparse_point(path, reparse, source.directory);
    if (!source.directory) e.content = Bytes(1000 + 4096 * n, static_cast<uint8_t>('a' + n));
    e.presents_content = source.presents;
    e.attributes = source.attributes;
    e.creation_time = 132000000000000000ull + 1000 * n;
    e.last_write_time = 133000000000000000ull + 7000 * n;
    e.security_descriptor = descriptor_granting(0x001F0000 + n);
    ++n;
  }
  std::string store = fresh_directory("store");
  NativeBackup backup = run_native_backup(store);
  ASSERT_EQ(backup.exit_code, 0) << backup.err << backup.server_err;
  EXPECT_EQ(report_value(backup.err, "reparse_placeholders"), "1");
  std::string errors;
  std::string restored = restore_snapshot(store, report_value(backup.err, "snapshot"), &errors);
  ASSERT_FALSE(restored.empty()) << errors;
  std::string metadata = fresh_directory("metadata") + "/windows-metadata";
  ChildResult exported = run_refserver({"export-metadata", "--store", store, "--snapshot",
                                     report_value(backup.err, "snapshot"), "--output", metadata});
  ASSERT_EQ(exported.exit_code, 0) << exported.err;
  EXPECT_NE(exported.err.find("records=8 skipped_streams=0 skipped_reparse_points=1"), std::string::npos)
      << exported.err;

  substitute_reset();
  load_restored_tree(restored, u"C:\\restored");
  std::ifstream in(metadata, std::ios::binary);
  substitute_add_file(u"C:\\windows-metadata", Bytes(std::istreambuf_iterator<char>(in), {}));
  ApplyOutcome applied = run_apply_metadata({"--source", "C:\\restored", "--metadata", "C:\\windows-metadata"});
  ASSERT_EQ(applied.exit_code, 0) << applied.err;
  EXPECT_NE(applied.err.find("windows_metadata_restored=8"), std::string::npos) << applied.err;
  n = 0;
  for (const Source& source : sources) {
    SCOPED_TRACE(source.path);
    const uint32_t i = n++;
    if (source.tag != 0 && !source.presents) continue;
    std::u16string path = u"C:\\restored";
    if (!source.path.empty()) path += u"\\" + u16(source.path);
    for (auto& c : path) c = c == u'/' ? u'\\' : c;
    const SubstituteEntry& e = applied.entry(path);
    EXPECT_EQ(dacl_of(e.security_descriptor), dacl_of(descriptor_granting(0x001F0000 + i)));
    EXPECT_EQ(e.creation_time, 132000000000000000ull + 1000 * i);
    EXPECT_EQ(e.last_write_time, 133000000000000000ull + 7000 * i);
    EXPECT_EQ(e.attributes & 0x2027, source.attributes & 0x2027);
  }
}

}  // namespace

// Whole backups of the agent's logic over the substitute volume against the
// reference server: the snapshot restores byte for byte, the counters equal
// what the wire carried, known chunks travel no more, and a cut run is resumed
// from the chunks the server kept.
#include <gtest/gtest.h>

#include <string>

#include "tests/transfer/support/native_backup.h"
#include "tests/transfer/support/refserver_run.h"
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
  RefserverRun check = refserver({"check-store", "--store", store});
  EXPECT_NE(check.err.find("store chunks=" + std::to_string(totals.distinct_chunks) + " snapshots=1 problems=0"),
            std::string::npos)
      << check.err;
  // What the cut run's first two batches delivered is not sent again.
  EXPECT_EQ(before.batches, 2u);
  EXPECT_GT(before.frames, 0u);
  EXPECT_EQ(before.frames + after.frames, totals.distinct_chunks);
  expect_snapshot_restores(store, resumed, tree);
}

}  // namespace

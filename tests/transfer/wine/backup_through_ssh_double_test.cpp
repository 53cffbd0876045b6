// The real agent under Wine starts the reference server's ssh.exe double as its
// OpenSSH client: a generated tree goes through it, restores byte for byte and
// is sent only once; every fault of the double ends the run with its message
// and leaves no ssh.exe behind; a cut connection is resumed by the next run.
// The Windows build of the server alone backs up, restores, verifies and
// exports a tree of non-ASCII names deeper than MAX_PATH.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/transfer/support/sample_tree.h"
#include "tests/transfer/support/wine_backup.h"

namespace {

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The agent's last line. The double writes its own fault notes ("ssh-double:
// ...") to the standard error it shares with the agent, and may still be
// writing when the agent prints its fatal line, so they are passed over.
std::string last_agent_line(const std::string& text) {
  std::string line;
  size_t from = 0;
  while (from < text.size()) {
    size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    std::string candidate = text.substr(from, end - from);
    from = end + 1;
    if (!candidate.empty() && candidate.back() == '\r') candidate.pop_back();
    if (!candidate.empty() && candidate.rfind("ssh-double: ", 0) != 0) line = candidate;
  }
  return line;
}

// The fatal line without its error number.
std::string fatal_message(const std::string& err) {
  std::string line = last_agent_line(err);
  size_t suffix = line.rfind(" (Windows error=");
  if (line.rfind("vardokeep-agent: ", 0) != 0 || suffix == std::string::npos) return "(no fatal line: " + err + ")";
  return line.substr(17, suffix - 17);
}

void expect_restores_byte_for_byte(const std::string& store, const std::string& snapshot, const std::string& source) {
  std::string target = fresh_directory("restored");
  system(("rmdir '" + target + "'").c_str());
  ChildResult restored = run_refserver({"restore", "--store", store, "--snapshot", snapshot, "--target", target});
  ASSERT_EQ(restored.exit_code, 0) << restored.err;
  ChildResult verified = run_refserver({"verify", "--store", store, "--snapshot", snapshot, "--tree", target});
  EXPECT_EQ(verified.exit_code, 0) << verified.out << verified.err;
  std::string diff = "diff -r '" + source + "' '" + target + "' >/dev/null";
  EXPECT_EQ(system(diff.c_str()), 0) << "restored content differs from " << source;
  ChildResult against_source = run_refserver({"verify", "--store", store, "--snapshot", snapshot, "--tree", source});
  EXPECT_EQ(against_source.exit_code, 0) << against_source.out << against_source.err;
}

class BackupThroughSshDouble : public testing::Test {
 protected:
  void SetUp() override { install_ssh_double(); }
};

TEST_F(BackupThroughSshDouble, TreeRestoresByteForByteAndIsSentOnlyOnce) {
  SampleTree tree = sample_tree(1);
  ChunkTotals totals = chunk_totals(tree);
  DoubleBackup backup;
  backup.source = fresh_directory("source");
  backup.store = fresh_directory("store");
  backup.argv_log = backup.store + "-argv.txt";
  // A configuration path with a blank, a double quote and a trailing backslash.
  backup.ssh_config = "C:\\cfg dir\\a \"q\"\\";
  write_sample_tree(tree, backup.source);

  ChildResult first = backup_through_double(backup);
  ASSERT_EQ(first.exit_code, 0) << first.err;
  const std::string snapshot = report_value(first.err, "snapshot");
  ASSERT_FALSE(snapshot.empty()) << first.err;
  EXPECT_EQ(report_value(first.err, "files"), std::to_string(tree.files.size()));
  EXPECT_EQ(report_value(first.err, "directories"), std::to_string(tree.directories.size() + 1));
  EXPECT_EQ(report_value(first.err, "chunks_checked"), std::to_string(totals.chunks));
  EXPECT_EQ(report_value(first.err, "chunk_bytes_sent"), std::to_string(totals.distinct_chunk_bytes));
  EXPECT_GT(std::stoull(report_value(first.err, "chunk_wire_bytes_sent")), 4 * totals.distinct_chunks);
  EXPECT_LT(std::stoull(report_value(first.err, "chunk_wire_bytes_sent")), totals.distinct_chunk_bytes);
  EXPECT_LT(first.err.find("snapshot="), first.err.find("agent_version=")) << "the snapshot line precedes the summary";

  const std::string log = read_text(backup.argv_log);
  const std::string expected_arguments =
      "argument=C:\\windows\\system32\\OpenSSH\\ssh.exe\n"
      "argument=-F\nargument=C:\\cfg dir\\a \"q\"\\\nargument=-T\nargument=-oBatchMode=yes\n"
      "argument=-oStrictHostKeyChecking=yes\nargument=-oIdentitiesOnly=yes\nargument=-oConnectTimeout=15\n"
      "argument=-oServerAliveInterval=30\nargument=-oServerAliveCountMax=3\nargument=vardo-backup\n"
      "argument=receive\n";
  EXPECT_NE(log.find("command_line=\"C:\\windows\\system32\\OpenSSH\\ssh.exe\" \"-F\" \"C:\\cfg dir\\a \\\"q\\\"\\\\\" \"-T\""),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(expected_arguments), std::string::npos) << log;
  expect_restores_byte_for_byte(backup.store, snapshot, backup.source);

  // Unchanged tree, same store: every chunk is known, no payload travels.
  ChildResult second = backup_through_double(backup);
  ASSERT_EQ(second.exit_code, 0) << second.err;
  EXPECT_EQ(report_value(second.err, "chunks_checked"), std::to_string(totals.chunks));
  EXPECT_EQ(report_value(second.err, "chunk_bytes_sent"), "0");
  EXPECT_EQ(report_value(second.err, "chunk_wire_bytes_sent"), "0");
  const std::string second_snapshot = report_value(second.err, "snapshot");
  EXPECT_GT(second_snapshot, snapshot);
  expect_restores_byte_for_byte(backup.store, second_snapshot, backup.source);
  EXPECT_EQ(ssh_double_processes_for_store(backup.store), 0);
}

TEST_F(BackupThroughSshDouble, EveryFaultOfTheDoubleEndsTheRunWithItsMessage) {
  struct Case {
    std::string fault;  // NAME=value
    std::string message;  // empty: the run succeeds
  };
  const Case cases[] = {
      {"VARDOKEEP_FAULT_EXIT_CODE=3", "SSH failed after server confirmation"},
      {"VARDOKEEP_FAULT_CLOSE_AT=hello", "connection closed; retry to reuse received chunks"},
      {"VARDOKEEP_FAULT_CLOSE_AT=bitmap", "connection closed; retry to reuse received chunks"},
      {"VARDOKEEP_FAULT_CLOSE_AT=ids", "connection closed; retry to reuse received chunks"},
      {"VARDOKEEP_FAULT_CLOSE_AT=confirmation", "connection closed; retry to reuse received chunks"},
      {"VARDOKEEP_FAULT_HELLO_ANSWER=VARDOR06", "server requires vardokeep 0.36.0 or later"},
      {"VARDOKEEP_FAULT_BITMAP=5:3", "invalid missing-chunk bitmap"},
      {"VARDOKEEP_FAULT_CHUNK_ID=1:0", "invalid chunk ID"},
      {"VARDOKEEP_FAULT_CHUNK_ID=1:2251799813685247", "invalid chunk ID"},
      // The agent takes the largest ID; the server then refuses a manifest
      // naming a chunk it never issued.
      {"VARDOKEEP_FAULT_CHUNK_ID=1:2251799813685246", "connection closed; retry to reuse received chunks"},
      {"VARDOKEEP_FAULT_CONFIRMATION=no-nul", "invalid snapshot confirmation"},
      {"VARDOKEEP_FAULT_CONFIRMATION=empty", "invalid snapshot confirmation"},
      {"VARDOKEEP_FAULT_CONFIRMATION=bad-name", "invalid snapshot name"},
      {"VARDOKEEP_FAULT_CONFIRMATION=longest-name", ""},
      {"VARDOKEEP_FAULT_CONFIRMATION=trailing-bytes", ""},
  };
  SampleTree tree = sample_tree(2);
  std::string source = fresh_directory("source");
  write_sample_tree(tree, source);
  for (const Case& c : cases) {
    DoubleBackup backup;
    backup.source = source;
    backup.store = fresh_directory("store");
    backup.environment = {c.fault};
    ChildResult run = backup_through_double(backup);
    if (c.message.empty()) {
      EXPECT_EQ(run.exit_code, 0) << c.fault << "\n" << run.err;
      EXPECT_FALSE(report_value(run.err, "snapshot").empty()) << c.fault;
    } else {
      EXPECT_EQ(run.exit_code, 1) << c.fault;
      EXPECT_EQ(fatal_message(run.err), c.message) << c.fault;
      EXPECT_EQ(run.err.find("snapshot="), std::string::npos) << c.fault;
      EXPECT_EQ(run.err.find("agent_version="), std::string::npos) << c.fault;
    }
    EXPECT_EQ(ssh_double_processes_for_store(backup.store), 0) << c.fault;
    EXPECT_TRUE(temp_files_named("vardo-agent-").empty()) << c.fault;
  }
}

TEST_F(BackupThroughSshDouble, ClientThatOutlivesTheWaitFailsTheRunAndIsEnded) {
  DoubleBackup backup;
  backup.source = fresh_directory("source");
  backup.store = fresh_directory("store");
  backup.environment = {"VARDOKEEP_FAULT_LINGER_SECONDS=300"};
  write_sample_tree(sample_tree(3), backup.source);
  ChildResult run = backup_through_double(backup);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(fatal_message(run.err), "SSH failed after server confirmation");
  EXPECT_EQ(ssh_double_processes_for_store(backup.store), 0);
  EXPECT_TRUE(temp_files_named("vardo-agent-").empty());
}

TEST_F(BackupThroughSshDouble, AliasIsCheckedBeforeAnythingStarts) {
  struct Case {
    std::string alias;
    std::string message;
  };
  const Case cases[] = {
      {"backup@vardo", "SSH destination must be a configured host alias"},
      {"-oProxyCommand=x", "SSH destination must be a configured host alias"},
      {"vardo backup", "SSH destination must be a configured host alias"},
      {"-F", "invalid SSH alias"},
      {"", "invalid SSH alias"},
  };
  std::string source = fresh_directory("source");
  for (const Case& c : cases) {
    DoubleBackup backup;
    backup.source = source;
    backup.store = fresh_directory("store");
    backup.argv_log = backup.store + "/argv.txt";
    backup.alias = c.alias;
    ChildResult run = backup_through_double(backup);
    EXPECT_EQ(run.exit_code, 1) << c.alias;
    EXPECT_EQ(fatal_message(run.err), c.message) << c.alias;
    EXPECT_TRUE(read_text(backup.argv_log).empty()) << "ssh.exe was started for " << c.alias;
  }
}

// A connection cut after the server has stored two batches: the next run sends
// only what the server lacks, and its snapshot restores byte for byte.
TEST_F(BackupThroughSshDouble, CutConnectionIsResumedFromTheChunksTheServerKept) {
  SampleTree tree;
  for (int i = 0; i < 5; ++i) {
    SampleFile file{"f" + std::to_string(i) + ".bin", {}};
    for (uint32_t k = 0; k < 40 * 4096; ++k) file.content.push_back(static_cast<uint8_t>((k * 2654435761u + i) >> 13));
    for (uint32_t k = 0; k < file.content.size(); k += 4096) file.content[k] = static_cast<uint8_t>(k / 4096 + 40 * i);
    tree.files.push_back(file);
  }
  ChunkTotals totals = chunk_totals(tree);
  ASSERT_EQ(totals.distinct_chunks, 200u);
  DoubleBackup backup;
  backup.source = fresh_directory("source");
  backup.store = fresh_directory("store");
  backup.extra_arguments = {"--batch", "64"};
  write_sample_tree(tree, backup.source);

  backup.environment = {"VARDOKEEP_FAULT_CLOSE_AT=ids:2"};
  ChildResult cut = backup_through_double(backup);
  ASSERT_EQ(cut.exit_code, 1);
  EXPECT_EQ(fatal_message(cut.err), "connection closed; retry to reuse received chunks");
  EXPECT_EQ(ssh_double_processes_for_store(backup.store), 0);
  ChildResult store = run_refserver({"check-store", "--store", backup.store});
  ASSERT_EQ(store.exit_code, 0) << store.out << store.err;
  EXPECT_NE(store.err.find("store chunks=128 snapshots=0 problems=0"), std::string::npos) << store.err;

  backup.environment = {};
  ChildResult resumed = backup_through_double(backup);
  ASSERT_EQ(resumed.exit_code, 0) << resumed.err;
  EXPECT_EQ(report_value(resumed.err, "chunks_checked"), "200");
  EXPECT_EQ(report_value(resumed.err, "chunk_bytes_sent"), std::to_string(72 * 4096));
  expect_restores_byte_for_byte(backup.store, report_value(resumed.err, "snapshot"), backup.source);
}

// vardokeep-refserver.exe under Wine is the whole peer: the agent's --stdio
// joined to its receive by vardokeep-join.exe, then its own restore, verify
// and export-metadata, on names outside every ANSI code page and paths far
// beyond MAX_PATH.
TEST(WindowsReferenceServer, BacksUpRestoresVerifiesAndExportsADeepNonAsciiTree) {
  SampleTree tree = sample_tree(3);
  std::string deep;
  for (int level = 0; level < 14; ++level) deep += "verzeichnis-ebene-" + std::to_string(level) + "-\xc3\x84\xce\xa9\xe6\x97\xa5/";
  tree.directories.push_back(deep.substr(0, deep.size() - 1));
  tree.files.push_back({deep + "tief-\xf0\x9f\x98\x80.bin", std::vector<uint8_t>(9000, 0x5a)});
  ASSERT_GT(deep.size(), 340u);  // over 300 UTF-16 units below the source folder
  const std::string source = fresh_directory("source");
  const std::string store = fresh_directory("store");
  const std::string target = fresh_directory("restored") + "/out";
  write_sample_tree(tree, source);
  const std::string server = win_build_exe("server/vardokeep-refserver.exe");
  const std::string store_w = windows_path_of(store);
  // vardokeep-join finds the server beside itself and joins its receive to the agent.
  ChildResult backup = run_under_wine(win_build_exe("server/vardokeep-join.exe"),
                                  {"--store", store_w, "--", windows_path_of(win_build_exe("agent/vardokeep-agent.exe")),
                                   "backup", "--source", windows_path_of(source), "--stdio"});
  ASSERT_EQ(backup.exit_code, 0) << backup.err;
  const std::string snapshot = report_value(backup.err, "snapshot");
  EXPECT_EQ(report_value(backup.err, "files"), std::to_string(tree.files.size()));

  auto windows_server = [&](const std::vector<std::string>& arguments) {
    return run_under_wine(server, arguments);
  };
  ChildResult listed = windows_server({"list", "--store", store_w});
  EXPECT_EQ(listed.out.substr(0, snapshot.size()), snapshot) << listed.err;
  ChildResult restored = windows_server({"restore", "--store", store_w, "--snapshot", snapshot, "--target",
                                     windows_path_of(target)});
  ASSERT_EQ(restored.exit_code, 0) << restored.err;
  EXPECT_NE(restored.out.find("restored files=" + std::to_string(tree.files.size())), std::string::npos)
      << restored.out;
  EXPECT_EQ(system(("diff -r '" + source + "' '" + target + "' >/dev/null").c_str()), 0);
  for (const std::string& tree_path : {target, source}) {
    ChildResult verified = windows_server({"verify", "--store", store_w, "--snapshot", snapshot, "--tree",
                                       windows_path_of(tree_path)});
    EXPECT_EQ(verified.exit_code, 0) << verified.out << verified.err;
  }
  // The native server finds the Windows restore's content and times exact.
  ChildResult native = run_refserver({"verify", "--store", store, "--snapshot", snapshot, "--tree", target});
  EXPECT_EQ(native.exit_code, 0) << native.out << native.err;
  ChildResult exported = windows_server({"export-metadata", "--store", store_w, "--snapshot", snapshot, "--output",
                                     windows_path_of(store + "/../metadata.bin")});
  EXPECT_EQ(exported.exit_code, 0) << exported.err;
  EXPECT_EQ(read_text(store + "/../metadata.bin").substr(0, 8), "VARWMD01");
}

}  // namespace

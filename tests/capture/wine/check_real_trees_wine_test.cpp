// vardokeep-agent.exe check over real directory trees under Wine: counters,
// chunk totals, exclusions, the manifest inside the source, depth limits, and
// no private manifest left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "tests/wine_harness/wine_harness.h"

namespace {

namespace fs = std::filesystem;

std::string agent() { return win_build_exe("agent/vardokeep-agent.exe"); }

// A fresh tree under drive_c; its Windows path.
struct Tree {
  fs::path root;
  std::string windows;
  explicit Tree(const std::string& name) {
    root = fs::path(wine_drive_c()) / "vk-capture" / name;
    fs::remove_all(root);
    fs::create_directories(root);
    windows = "C:\\vk-capture\\" + name;
  }
  ~Tree() { fs::remove_all(root); }
  void file(const std::string& relative, size_t size) {
    fs::path path = root / fs::u8path(relative);
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>('a' + i % 23);
    out << content;
  }
  void directory(const std::string& relative) { fs::create_directories(root / fs::u8path(relative)); }
};

std::map<std::string, uint64_t> summary_of(const ChildResult& run) {
  std::map<std::string, uint64_t> summary;
  std::regex line("([a-z_]+)=([0-9]+)\r?\n");
  for (std::sregex_iterator it(run.err.begin(), run.err.end(), line), end; it != end; ++it) {
    summary[(*it)[1]] = std::stoull((*it)[2]);
  }
  return summary;
}

std::vector<std::string> manifests_left_in(const fs::path& directory) {
  std::vector<std::string> left;
  if (!fs::exists(directory)) return left;
  for (const auto& e : fs::directory_iterator(directory)) {
    if (e.path().filename().string().rfind("vardo-agent-", 0) == 0) left.push_back(e.path().string());
  }
  return left;
}
std::vector<std::string> manifests_left() { return manifests_left_in(wine_temp_dir_linux()); }

ChildResult check(const std::string& source, std::vector<std::string> options = {}) {
  std::vector<std::string> args = {"check", "--source", source};
  args.insert(args.end(), options.begin(), options.end());
  return run_under_wine(agent(), args);
}

void expect_counters(const ChildResult& run, uint64_t files, uint64_t directories, uint64_t chunks) {
  ASSERT_EQ(0, run.exit_code) << run.err;
  EXPECT_EQ("", run.out);
  auto summary = summary_of(run);
  EXPECT_EQ(files, summary["files"]);
  EXPECT_EQ(directories, summary["directories"]);
  EXPECT_EQ(0u, summary["alternate_streams"]);
  EXPECT_EQ(0u, summary["reparse_placeholders"]);
  EXPECT_EQ(chunks, summary["chunks_checked"]);
  EXPECT_EQ(0u, summary["chunk_bytes_sent"]);
  EXPECT_EQ(0u, summary["chunk_wire_bytes_sent"]);
  if (directories == 0) {
    EXPECT_EQ(8u, summary["manifest_bytes"]);  // the magic alone
  } else {
    EXPECT_GT(summary["manifest_bytes"], 8u);
  }
}

TEST(CheckRealTrees, CountsEveryEntryAndChunkOfANestedTree) {
  Tree tree("nested");
  const std::map<std::string, size_t> files = {
      {"empty", 0},          {"one", 1},          {"a/s4095", 4095},
      {"a/s4096", 4096},     {"a/b/s4097", 4097}, {"a/b/c/s8192", 8192},
      {"\xc3\x9cn\xc3\xaf" "c\xc3\xb6" "d\xc3\xa9/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt", 5},
      {"big", 4096 * 256 + 3},  // beyond one batch of the default 256
  };
  uint64_t chunks = 0;
  for (const auto& [path, size] : files) {
    tree.file(path, size);
    chunks += (size + 4095) / 4096;
  }
  tree.directory("a/b/c/d");
  ASSERT_EQ(265u, chunks);
  expect_counters(check(tree.windows), 8, 6, chunks);
  EXPECT_TRUE(manifests_left().empty());
}

TEST(CheckRealTrees, ExclusionsArePrefixesOfWholeComponentsWithoutCase) {
  Tree tree("exclusions");
  tree.file("a/x", 1);
  tree.file("ab", 1);
  tree.file("Build/o", 1);
  tree.file("keep/a", 1);
  expect_counters(check(tree.windows, {"--exclude", "a"}), 3, 3, 3);
  expect_counters(check(tree.windows, {"--exclude", "A"}), 3, 3, 3);
  expect_counters(check(tree.windows, {"--exclude", "a/"}), 4, 4, 4);
  expect_counters(check(tree.windows, {"--exclude", "build", "--exclude", "keep/a"}), 2, 3, 2);
  expect_counters(check(tree.windows, {"--exclude", "."}), 0, 0, 0);
}

TEST(CheckRealTrees, TheManifestInsideTheSourceIsSkippedAndItsFolderRecorded) {
  Tree tree("temp-inside");
  tree.file("data", 10);
  tree.directory("tmp");
  // Wine sets TMP and TEMP for a program started from Linux; a Windows parent's
  // environment reaches its child unchanged.
  std::string temp = tree.windows + "\\tmp";
  std::ofstream(tree.root / "run.bat") << "@echo off\r\nset TMP=" << temp << "\r\nset TEMP=" << temp << "\r\n"
                                       << windows_path_of(agent()) << " check --source " << tree.windows
                                       << " --exclude run.bat\r\n";
  ChildResult run = run_under_wine("cmd", {"/c", tree.windows + "\\run.bat"});
  expect_counters(run, 1, 2, 1);
  EXPECT_TRUE(manifests_left_in(tree.root / "tmp").empty());

  // A second drive letter on the tree's parent, as a subst or mapped drive:
  // Wine then reports every final path through it, whichever spelling opened
  // the file, so the source as typed and the manifest's final path differ.
  fs::path alias = fs::path(wine_prefix()) / "dosdevices" / "y:";
  fs::remove(alias);
  fs::create_directory_symlink("../drive_c/vk-capture", alias);
  ChildResult aliased = run_under_wine("cmd", {"/c", tree.windows + "\\run.bat"});
  fs::remove(alias);
  expect_counters(aliased, 1, 2, 1);
  EXPECT_TRUE(manifests_left_in(tree.root / "tmp").empty());
}

TEST(CheckRealTrees, A128LevelChainIsCapturedAndOneMoreLevelIsRefused) {
  Tree tree("depth");
  std::string chain;
  for (int i = 0; i < 128; ++i) chain += i == 0 ? "d" : "/d";
  tree.directory(chain);
  expect_counters(check(tree.windows), 0, 129, 0);

  tree.file(chain + "/f", 1);
  ChildResult run = check(tree.windows);
  EXPECT_EQ(1, run.exit_code);
  EXPECT_EQ("", run.out);
  EXPECT_TRUE(std::regex_match(run.err, std::regex("vardokeep-agent: directory nesting exceeds 128 "
                                                   "\\(Windows error=[0-9]+\\)\r\n")))
      << run.err;
  EXPECT_TRUE(manifests_left().empty());
}

// Wine shows a Linux symbolic link to a directory as a reparse point whose data
// cannot be read: the one reparse failure a real tree can produce here.
TEST(CheckRealTrees, AReparsePointWhoseDataCannotBeReadStopsTheRun) {
  Tree tree("symlink");
  tree.directory("target");
  fs::create_directory_symlink("target", tree.root / "link");
  ChildResult run = check(tree.windows);
  EXPECT_EQ(1, run.exit_code);
  EXPECT_TRUE(std::regex_match(run.err, std::regex("vardokeep-agent: read reparse metadata: link "
                                                   "\\(Windows error=4390\\)\r\n")))
      << run.err;
  EXPECT_TRUE(manifests_left().empty());
}

}  // namespace

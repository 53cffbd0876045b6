// The whole way back under Wine: back up a tree, restore its content with the
// reference server, export its metadata file, apply it to the restored tree,
// back the restored tree up too, and compare what the two snapshots recorded:
// last-write times and the attribute bits Wine keeps (mask 0x27).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "tests/wine_harness/wine_harness.h"

namespace {
constexpr uint64_t T0 = 132223104000000000ull;  // 2020-01-01 00:00:00 UTC
constexpr uint64_t MINUTE = 600000000ull;

std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string run(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  EXPECT_EQ(0, pclose(pipe)) << command << "\n" << output;
  return output;
}

struct Backup {
  int agent_exit = -1;
  std::string agent_err;
  std::string snapshot;
};

// backup --stdio with the agent's standard output and input joined to a native
// `receive` through a pipe and a FIFO.
Backup backup(const std::string& work, const std::string& windows_source, const std::string& store) {
  std::string fifo = work + "/to-server";
  unlink(fifo.c_str());
  EXPECT_EQ(0, mkfifo(fifo.c_str(), 0600));
  std::string command =
      "cd " + shell_quote(work) + " && " + shell_quote(VARDOKEEP_REFSERVER) + " receive --store " +
      shell_quote(store) + " < to-server 2> server.err | WINEPREFIX=" + shell_quote(wine_prefix()) +
      " WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' wine " +
      shell_quote(win_build_exe("agent/vardokeep-agent.exe")) + " backup --source " + shell_quote(windows_source) +
      " --stdio > to-server 2> agent.err; echo ${PIPESTATUS[1]} > agent.exit";
  EXPECT_EQ(0, system(("bash -c " + shell_quote(command)).c_str()));
  Backup result;
  result.agent_exit = std::stoi(read_text(work + "/agent.exit"));
  result.agent_err = read_text(work + "/agent.err");
  size_t at = result.agent_err.find("snapshot=");
  if (at != std::string::npos) {
    size_t end = result.agent_err.find_first_of("\r\n", at);
    result.snapshot = result.agent_err.substr(at + 9, end - at - 9);
  }
  return result;
}

// The whole work directory goes when the test ends, however it ends.
struct RemoveOnExit {
  std::string path;
  ~RemoveOnExit() { EXPECT_EQ(0, system(("rm -rf " + shell_quote(path)).c_str())); }
};

struct Recorded {
  std::string kind;
  uint32_t attributes = 0;
  uint64_t modified = 0;
};

// path -> what the snapshot recorded, from the server's text form of its manifest.
std::map<std::string, Recorded> entries(const std::string& store, const std::string& snapshot) {
  std::string text = run(shell_quote(VARDOKEEP_REFSERVER) + " entries --store " + shell_quote(store) +
                         " --snapshot " + shell_quote(snapshot));
  std::map<std::string, Recorded> found;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    size_t path_at = line.find(" path=\"");
    if (path_at == std::string::npos) continue;
    size_t path_end = line.find("\" kind=", path_at);
    std::string path = line.substr(path_at + 7, path_end - path_at - 7);
    Recorded r;
    std::istringstream fields(line.substr(path_end + 2));
    std::string field;
    while (fields >> field) {
      if (field.rfind("kind=", 0) == 0) r.kind = field.substr(5);
      if (field.rfind("attributes=", 0) == 0) r.attributes = static_cast<uint32_t>(std::stoul(field.substr(11), nullptr, 16));
      if (field.rfind("modified=", 0) == 0) r.modified = std::stoull(field.substr(9));
    }
    found[path] = r;
  }
  return found;
}
}  // namespace

TEST(MetadataRoundTripWine, AppliedMetadataMatchesWhatTheFirstBackupRecorded) {
  std::string base = "vk-round-trip-" + std::to_string(getpid());
  std::string work = wine_drive_c() + "/" + base;
  std::string source = work + "/source", restored = work + "/restored", store = work + "/store";
  std::string windows_work = "C:\\" + base;
  RemoveOnExit remove_work{work};
  run("rm -rf " + shell_quote(work) + " && mkdir -p " + shell_quote(source + "/a/c") + " " + shell_quote(source + "/d"));
  std::ofstream(source + "/a/f.txt") << "first file\n";
  std::ofstream(source + "/a/c/g.bin") << std::string(10000, 'g');
  std::ofstream(source + "/b.txt") << "second file\n";
  std::ofstream(source + "/d/h.txt") << "";

  // Attributes and times that a restore of content alone would not bring back.
  const struct {
    const char* path;
    const char* attributes;
    uint64_t written;
  } wanted[] = {
      {"\\a\\f.txt", "0x21", T0 + 1 * MINUTE},  {"\\a\\c\\g.bin", "0x6", T0 + 2 * MINUTE},
      {"\\b.txt", "0x1", T0 + 3 * MINUTE},      {"\\d\\h.txt", "0x80", T0 + 4 * MINUTE},
      {"\\a\\c", "0x2", T0 + 5 * MINUTE},       {"\\a", "0x80", T0 + 6 * MINUTE},
      {"\\d", "0x4", T0 + 7 * MINUTE},          {"", "0x80", T0 + 8 * MINUTE},
  };
  std::vector<std::string> set_args = {"--set"};
  for (const auto& w : wanted) {
    set_args.push_back(windows_work + "\\source" + w.path);
    set_args.push_back(w.attributes);
    set_args.push_back(std::to_string(w.written));
  }
  ChildResult set = run_under_wine(win_build_exe("tests/metadata_restore/metadata-probe.exe"), set_args);
  ASSERT_EQ(0, set.exit_code) << set.out << set.err;

  Backup first = backup(work, windows_work + "\\source", store);
  ASSERT_EQ(0, first.agent_exit) << first.agent_err;
  ASSERT_FALSE(first.snapshot.empty()) << first.agent_err;
  std::map<std::string, Recorded> before = entries(store, first.snapshot);
  ASSERT_EQ(8u, before.size());

  run(shell_quote(VARDOKEEP_REFSERVER) + " restore --store " + shell_quote(store) + " --snapshot " +
      shell_quote(first.snapshot) + " --target " + shell_quote(restored));
  // Whatever the restore put back, apply-metadata alone must bring the times back.
  run("find " + shell_quote(restored) + " -exec touch -h -d @1000000000 {} +");
  run(shell_quote(VARDOKEEP_REFSERVER) + " export-metadata --store " + shell_quote(store) + " --snapshot " +
      shell_quote(first.snapshot) + " --output " + shell_quote(work + "/meta.bin"));

  ChildResult apply = run_under_wine(win_build_exe("agent/vardokeep-agent.exe"),
                                 {"apply-metadata", "--source", windows_work + "\\restored", "--metadata",
                                  windows_work + "\\meta.bin"});
  ASSERT_EQ(0, apply.exit_code) << apply.err;
  EXPECT_EQ("windows_metadata_restored=8\r\n", apply.err);

  Backup second = backup(work, windows_work + "\\restored", store);
  ASSERT_EQ(0, second.agent_exit) << second.agent_err;
  std::map<std::string, Recorded> after = entries(store, second.snapshot);
  ASSERT_EQ(before.size(), after.size());
  for (const auto& [path, recorded] : before) {
    auto found = after.find(path);
    ASSERT_NE(after.end(), found) << path;
    EXPECT_EQ(recorded.kind, found->second.kind) << path;
    EXPECT_EQ(recorded.modified, found->second.modified) << path;
    EXPECT_EQ(recorded.attributes & 0x27, found->second.attributes & 0x27) << path;
  }
  // The source's own values made it through the first backup too.
  EXPECT_EQ(T0 + 1 * MINUTE, before["a/f.txt"].modified);
  EXPECT_EQ(0x21u, before["a/f.txt"].attributes & 0x27);
  EXPECT_EQ(0x2u, before["a/c"].attributes & 0x27);
  EXPECT_EQ(T0 + 8 * MINUTE, before["."].modified);
}

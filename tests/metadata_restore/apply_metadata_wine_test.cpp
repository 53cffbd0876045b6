// vardokeep-agent.exe apply-metadata under Wine, over trees and metadata files
// that the tests lay out by hand. Wine keeps last-write times and the READONLY,
// HIDDEN, SYSTEM and ARCHIVE bits; descriptors are checked on their way in
// through the recording build of the agent.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/metadata_restore/metadata_file_builder.h"
#include "tests/wine_harness/wine_harness.h"

namespace {
constexpr uint64_t T0 = 132223104000000000ull;  // 2020-01-01 00:00:00 UTC
constexpr uint64_t HOUR = 36000000000ull;

struct WineTree {
  std::string linux_root;    // .../drive_c/vk-metadata-N/root
  std::string windows_root;  // C:\vk-metadata-N\root
  std::string metadata_linux;
  std::string metadata_windows;
};

// Trees live in the prefix's drive C and are removed when the tests end.
std::vector<std::string> created_bases;
struct RemoveTrees : testing::Environment {
  void TearDown() override {
    for (const auto& base : created_bases) EXPECT_EQ(0, system(("rm -rf '" + base + "'").c_str()));
  }
};
const testing::Environment* const remove_trees = testing::AddGlobalTestEnvironment(new RemoveTrees);

WineTree make_tree(const std::string& name) {
  static int counter = 0;
  std::string base = "vk-metadata-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + name;
  WineTree tree;
  std::string base_linux = wine_drive_c() + "/" + base;
  created_bases.push_back(base_linux);
  tree.linux_root = base_linux + "/root";
  tree.windows_root = "C:\\" + base + "\\root";
  tree.metadata_linux = base_linux + "/meta.bin";
  tree.metadata_windows = "C:\\" + base + "\\meta.bin";
  std::string command = "rm -rf '" + base_linux + "' && mkdir -p '" + tree.linux_root + "'";
  EXPECT_EQ(0, system(command.c_str()));
  return tree;
}

void make_dir(const std::string& path) { ASSERT_EQ(0, mkdir(path.c_str(), 0755)) << path; }
void make_file(const std::string& path, const std::string& content = "x") {
  std::ofstream(path, std::ios::binary) << content;
}
void write_bytes(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

ChildResult apply(const WineTree& tree, const std::vector<std::string>& extra = {},
              const std::string& exe = "agent/vardokeep-agent.exe") {
  std::vector<std::string> args = {"apply-metadata", "--source", tree.windows_root, "--metadata",
                                   tree.metadata_windows};
  args.insert(args.end(), extra.begin(), extra.end());
  return run_under_wine(win_build_exe(exe), args);
}

struct Probed {
  uint32_t attributes = 0;
  uint64_t created = 0;
  uint64_t written = 0;
  bool ok = false;
};

std::vector<Probed> probe(const std::vector<std::string>& windows_paths) {
  ChildResult run = run_under_wine(win_build_exe("tests/metadata_restore/metadata-probe.exe"), windows_paths);
  std::vector<Probed> result;
  std::istringstream lines(run.out);
  std::string line;
  while (std::getline(lines, line)) {
    Probed p;
    unsigned long attributes = 0;
    unsigned long long created = 0, written = 0;
    p.ok = sscanf(line.c_str(), "attributes=0x%lx created=%llu written=%llu", &attributes, &created, &written) == 3;
    p.attributes = static_cast<uint32_t>(attributes);
    p.created = created;
    p.written = written;
    result.push_back(p);
  }
  EXPECT_EQ(windows_paths.size(), result.size()) << run.out << run.err;
  return result;
}

std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  }
  return found;
}

// The tree every test starts from: root, a, a\f.txt, b.txt.
std::vector<TestRecord> tree_records() {
  return {{".", test_descriptor(true), 2, 0x10, T0, T0 + 1 * HOUR},
          {"a", test_descriptor(), 2, 0x12, T0, T0 + 2 * HOUR},
          {"a/f.txt", test_descriptor(), 1, 0x21, T0, T0 + 3 * HOUR},
          {"b.txt", test_descriptor(true), 1, 0x2026, T0, T0 + 4 * HOUR}};
}

WineTree standard_tree(const std::string& name) {
  WineTree tree = make_tree(name);
  make_dir(tree.linux_root + "/a");
  make_file(tree.linux_root + "/a/f.txt");
  make_file(tree.linux_root + "/b.txt");
  write_bytes(tree.metadata_linux, build_metadata_file(tree_records()));
  return tree;
}
}  // namespace

TEST(ApplyMetadataWine, PutsBackTheTimesAndAttributesThatWineKeeps) {
  WineTree tree = standard_tree("keeps");
  ChildResult run = apply(tree);
  ASSERT_EQ(0, run.exit_code) << run.err;
  EXPECT_EQ("windows_metadata_restored=4\r\n", run.err);
  EXPECT_EQ("", run.out);

  std::vector<Probed> found = probe({tree.windows_root, tree.windows_root + "\\a", tree.windows_root + "\\a\\f.txt",
                                     tree.windows_root + "\\b.txt"});
  std::vector<TestRecord> records = tree_records();
  for (size_t i = 0; i < records.size() && i < found.size(); ++i) {
    ASSERT_TRUE(found[i].ok) << records[i].path;
    EXPECT_EQ(records[i].last_write_time, found[i].written) << records[i].path;
    EXPECT_EQ(records[i].attributes & 0x27, found[i].attributes & 0x27) << records[i].path;
  }
}

TEST(ApplyMetadataWine, TheAdapterOpensUnsharedAndPassesTheRightValues) {
  for (bool owner : {false, true}) {
    WineTree tree = standard_tree(owner ? "recorder-owner" : "recorder");
    ChildResult run = apply(tree, owner ? std::vector<std::string>{"--owner"} : std::vector<std::string>{},
                        "tests/metadata_restore/metadata-apply-recorder.exe");
    ASSERT_EQ(0, run.exit_code) << run.err << run.out;
    EXPECT_EQ("windows_metadata_restored=4\r\n", run.err);

    // The metadata file as given, then each target in chain order in the long form.
    std::vector<std::string> opens = lines_starting(run.out, "CreateFileW ");
    std::string access = owner ? "0x000e0100" : "0x00060100";
    std::string target_flags = " access=" + access + " share=0 disposition=3 flags=0x02200000";
    std::string long_root = "\\\\?\\" + tree.windows_root;
    // The hold on the root comes first; the root as a target shares reading with it.
    EXPECT_EQ((std::vector<std::string>{
                  "CreateFileW " + tree.metadata_windows + " access=0x80000000 share=1 disposition=3 flags=0x00200000",
                  "CreateFileW " + long_root + " access=0x00000001 share=3 disposition=3 flags=0x02200000",
                  "CreateFileW " + long_root + "\\b.txt" + target_flags,
                  "CreateFileW " + long_root + "\\a\\f.txt" + target_flags,
                  "CreateFileW " + long_root + "\\a" + target_flags,
                  "CreateFileW " + long_root + " access=" + access + " share=1 disposition=3 flags=0x02200000"}),
              opens);

    std::string bits = owner ? "7" : "4";
    std::string length = " length=" + std::to_string(TD_LENGTH);
    EXPECT_EQ((std::vector<std::string>{"SetKernelObjectSecurity information=0x8000000" + bits + length,
                                        "SetKernelObjectSecurity information=0x2000000" + bits + length,
                                        "SetKernelObjectSecurity information=0x2000000" + bits + length,
                                        "SetKernelObjectSecurity information=0x8000000" + bits + length}),
              lines_starting(run.out, "SetKernelObjectSecurity "));
    std::vector<std::string> times = lines_starting(run.out, "SetFileTime ");
    ASSERT_EQ(4u, times.size());
    EXPECT_EQ("SetFileTime creation=" + std::to_string(T0) + " access=none write=" + std::to_string(T0 + 4 * HOUR),
              times[0]);
    EXPECT_EQ((std::vector<std::string>{
                  "SetFileInformationByHandle class=0 size=40 attributes=0x00002026 times=0,0,0,0",
                  "SetFileInformationByHandle class=0 size=40 attributes=0x00000021 times=0,0,0,0",
                  "SetFileInformationByHandle class=0 size=40 attributes=0x00000002 times=0,0,0,0",
                  "SetFileInformationByHandle class=0 size=40 attributes=0x00000080 times=0,0,0,0"}),
              lines_starting(run.out, "SetFileInformationByHandle "));
    std::vector<std::string> adjust = lines_starting(run.out, "AdjustTokenPrivileges ");
    if (owner) {
      ASSERT_EQ(1u, adjust.size());
      EXPECT_EQ(0u, adjust[0].find("AdjustTokenPrivileges count=1 attributes=2 result=1")) << adjust[0];
    } else {
      EXPECT_TRUE(adjust.empty());
    }
  }
}

// Each target's name below its volume must be the root's followed by the record
// path, as the file system compares names: deep below MAX_PATH, through names
// outside ASCII, and with the record spelling a name in another case than the disk.
TEST(ApplyMetadataWine, ReachesTargetsBeyondMaxPathUnderTheirOwnNames) {
  WineTree tree = make_tree("deep");
  std::string relative;
  std::string linux_path = tree.linux_root;
  for (int i = 0; i < 8; ++i) {
    std::string name = "directory-with-a-long-name-number-" + std::to_string(i) + "-xxxxxxxxxxxxxxxx";
    std::string spelled = name;
    if (i == 3) name = spelled = "\u00c4pfel-\u65e5\u672c-\u0416-" + name;   // the same on disk and in the record
    if (i == 5) {
      name = "Mixed-Case-" + name;
      spelled = "mIXED-cASE-" + spelled;
    }
    if (i == 6) {
      name = "\u00c4rger-" + name;    // upper case on disk, lower case in the record
      spelled = "\u00e4rger-" + spelled;
    }
    relative += (relative.empty() ? "" : "/") + spelled;
    linux_path += "/" + name;
    make_dir(linux_path);
  }
  std::string directory = relative;
  relative += "/deep.txt";
  make_file(linux_path + "/deep.txt");
  ASSERT_GT(tree.windows_root.size() + relative.size(), 400u);
  write_bytes(tree.metadata_linux, build_metadata_file({{directory, test_descriptor(), 2, 0x10, T0, T0 + 4 * HOUR},
                                                        {relative, test_descriptor(), 1, 0x21, T0, T0 + 5 * HOUR}}));

  ChildResult run = apply(tree);
  ASSERT_EQ(0, run.exit_code) << run.err;
  EXPECT_EQ("windows_metadata_restored=2\r\n", run.err);
  std::string windows_target = "\\\\?\\" + tree.windows_root + "\\" + relative;
  for (char& c : windows_target) c = c == '/' ? '\\' : c;
  std::vector<Probed> found = probe({windows_target});
  ASSERT_TRUE(!found.empty() && found[0].ok);
  EXPECT_EQ(T0 + 5 * HOUR, found[0].written);
  EXPECT_EQ(0x21u, found[0].attributes & 0x27);
}

TEST(ApplyMetadataWine, DeviceNamesAreFilesBelowTheRootNotDevices) {
  WineTree tree = make_tree("devices");
  make_file(tree.linux_root + "/NUL", "not a device");
  write_bytes(tree.metadata_linux, build_metadata_file({{"NUL", test_descriptor(), 1, 0x20, T0, T0 + 6 * HOUR}}));
  ChildResult run = apply(tree);
  ASSERT_EQ(0, run.exit_code) << run.err;
  EXPECT_EQ("windows_metadata_restored=1\r\n", run.err);
  struct stat st;
  ASSERT_EQ(0, stat((tree.linux_root + "/NUL").c_str(), &st));
  // FILETIME ticks to Unix seconds.
  EXPECT_EQ(static_cast<time_t>((T0 + 6 * HOUR - 116444736000000000ull) / 10000000), st.st_mtime);

  for (const char* device : {"CON", "AUX", "COM1", "a/NUL"}) {
    if (std::string(device) == "a/NUL") make_dir(tree.linux_root + "/a");
    write_bytes(tree.metadata_linux, build_metadata_file({{device, test_descriptor(), 1, 0x20, T0, T0}}));
    run = apply(tree);
    EXPECT_EQ(1, run.exit_code) << device;
    EXPECT_EQ(0u, run.err.find("vardokeep-agent: Metadata target missing, linked or wrong type (Windows error="))
        << device << ": " << run.err;
  }
}

TEST(ApplyMetadataWine, FailuresEndWithOneLineAndExitCode1) {
  WineTree tree = standard_tree("failures");
  Bytes bad = build_metadata_file(tree_records());
  bad[30] ^= 1;
  write_bytes(tree.metadata_linux + ".bad", bad);
  // The system's own length of a descriptor leaves trailing bytes out. (Wine's
  // IsValidSecurityDescriptor does not look at ACL revisions; the substitute
  // volume covers that Windows check.)
  TestRecord trailing = {"b.txt", test_descriptor(), 1, 0x20, T0, T0};
  trailing.descriptor.insert(trailing.descriptor.end(), {0, 0, 0, 0});
  write_bytes(tree.metadata_linux + ".trailing", build_metadata_file({trailing}));
  // c.txt has a second name outside the root, as a hard link to a file elsewhere would.
  make_file(tree.linux_root + "/c.txt");
  ASSERT_EQ(0, link((tree.linux_root + "/c.txt").c_str(), (tree.linux_root + "/../c-link.txt").c_str()));
  write_bytes(tree.metadata_linux + ".linked", build_metadata_file({{"c.txt", test_descriptor(), 1, 0x20, T0, T0}}));
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"apply-metadata"}, "use: apply-metadata --source DIRECTORY --metadata FILE [--owner]"},
      {{"apply-metadata", "--owner"}, "use: apply-metadata --source DIRECTORY --metadata FILE [--owner]"},
      {{"apply-metadata", "--metadata", tree.metadata_windows, "--source"}, "Metadata option value missing"},
      {{"apply-metadata", "--what", "x"}, "Unknown metadata option"},
      {{"apply-metadata", "--source", tree.windows_root, "--metadata", tree.windows_root}, "Windows metadata file"},
      {{"apply-metadata", "--source", tree.windows_root, "--metadata", tree.metadata_windows + ".bad"},
       "Windows metadata checksum"},
      {{"apply-metadata", "--source", tree.windows_root + "\\b.txt", "--metadata", tree.metadata_windows},
       "Restore root must be a real directory"},
      {{"apply-metadata", "--source", tree.windows_root, "--metadata", tree.metadata_windows + ".trailing"},
       "Invalid security descriptor"},
      {{"apply-metadata", "--source", tree.windows_root, "--metadata", tree.metadata_windows + ".linked"},
       "Metadata target missing, linked or wrong type: c.txt"},
  };
  for (const auto& c : cases) {
    ChildResult run = run_under_wine(win_build_exe("agent/vardokeep-agent.exe"), c.args);
    EXPECT_EQ(1, run.exit_code) << c.message;
    std::string prefix = "vardokeep-agent: " + c.message + " (Windows error=";
    EXPECT_EQ(0u, run.err.find(prefix)) << run.err;
    EXPECT_EQ(run.err.size() - 3, run.err.find(")\r\n")) << run.err;
  }
}

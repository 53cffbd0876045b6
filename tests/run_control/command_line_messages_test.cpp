// Every command line either ends with its exact message, in the order the checks
// are made, or runs; the message table is one test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/capture/chunk_batch.h"
#include "agent/run_control/run_state.h"
#include "agent/run_control/usage_text.h"
#include "tests/support/run_agent.h"

namespace {

void prepare_volume() {
  substitute_reset();
  substitute_add_directory(u"C:\\src");
  substitute_add_file(u"C:\\file.txt", {1, 2, 3});
  substitute_add_directory(u"C:\\link").attributes |= WIN_FILE_ATTRIBUTE_REPARSE_POINT;
  // A shadow copy of C: in which "top" is a junction to the live D: and
  // "Mounts\Data" the folder where a volume without a letter is mounted.
  substitute_add_directory(u"GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7\\data");
  substitute_add_directory(u"D:\\live\\src");
  substitute.links[u"GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7\\top"] = u"D:\\live";
  substitute_add_directory(u"GLOBALROOT\\Device\\HarddiskVolume5\\src");
  substitute.links[u"GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7\\Mounts\\Data"] = u"GLOBALROOT\\Device\\HarddiskVolume5";
  reset_run_state();
}

struct FailingCommandLine {
  std::vector<std::u16string> args;
  const char* message;
};

std::vector<std::u16string> with_excludes(int count) {
  std::vector<std::u16string> args = {u"check", u"--source", u"C:\\src"};
  for (int i = 0; i < count; ++i) {
    args.push_back(u"--exclude");
    args.push_back(u"dir" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) + u"/x");
  }
  return args;
}

TEST(CommandLineMessages, EachFailureEndsWithItsMessageAndExitCode1) {
  const std::vector<FailingCommandLine> cases = {
      {{u"--version", u"x"}, "unknown command"},
      {{u"Check"}, "unknown command"},
      {{u"restore"}, "unknown command"},
      {{u"apply-metadata"}, "use: apply-metadata --source DIRECTORY --metadata FILE \\[--owner\\]"},
      {{u"check"}, "missing source or SSH configuration"},
      {{u"backup"}, "missing source or SSH configuration"},
      {{u"check", u"--stdio"}, "missing source or SSH configuration"},
      {{u"backup", u"--source", u"C:\\src"}, "missing source or SSH configuration"},
      {{u"backup", u"--source", u"C:\\src", u"--ssh-config", u"c"}, "missing source or SSH configuration"},
      {{u"backup", u"--source", u"C:\\src", u"--destination", u"d"}, "missing source or SSH configuration"},
      {{u"check", u"--bogus"}, "missing option value"},
      {{u"check", u"--source"}, "missing option value"},
      {{u"check", u"--source", u"C:\\src", u"--stdio", u"--batch"}, "missing option value"},
      {{u"check", u"--bogus", u"value"}, "unknown option"},
      {{u"check", u"--Source", u"C:\\src"}, "unknown option"},
      // The value is converted before the name is judged.
      {{u"check", u"--bogus", u"a\xD800"}, "invalid Unicode name"},
      {{u"check", u"--source", u"C:\\src", u"--batch", u"63"}, "batch must be 64..2048"},
      {{u"check", u"--source", u"C:\\src", u"--batch", u"2049"}, "batch must be 64..2048"},
      {{u"check", u"--source", u"C:\\src", u"--batch", u""}, "batch must be 64..2048"},
      {{u"check", u"--source", u"C:\\src", u"--batch", u"64x"}, "batch must be 64..2048"},
      {{u"check", u"--source", u"C:\\src", u"--batch", u"-64"}, "batch must be 64..2048"},
      {{u"check", u"--source", u"C:\\src", u"--exclude", u""}, "exclusion must be a relative prefix with '/' separators"},
      {{u"check", u"--source", u"C:\\src", u"--exclude", u"/a"}, "exclusion must be a relative prefix with '/' separators"},
      {{u"check", u"--source", u"C:\\src", u"--exclude", u"a\\b"}, "exclusion must be a relative prefix with '/' separators"},
      {{u"check", u"--source", u"C:\\src", u"--exclude", u"a..b"}, "exclusion must be a relative prefix with '/' separators"},
      {with_excludes(65), "exclusion must be a relative prefix with '/' separators"},
      {{u"check", u"--source", u"C:\\file.txt"}, "source must be a real directory"},
      {{u"check", u"--source", u"C:\\link"}, "source must be a real directory"},
      {{u"check", u"--source", u"C:\\missing"}, "source must be a real directory"},
      {{u"check", u"--source", u""}, "absolute source path"},
      // A source inside a shadow copy must not lead back out to a live volume.
      {{u"check", u"--source", u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7\\top\\src"},
       "VSS snapshot source leads out of the shadow copy"},
      {{u"backup", u"--stdio", u"--source", u"\\\\?\\globalroot\\device\\HarddiskVolumeShadowCopy7\\Mounts\\Data\\src"},
       "VSS snapshot source leads out of the shadow copy"},
      // Option errors come before the source is looked at.
      {{u"check", u"--source", u"C:\\missing", u"--batch", u"1"}, "batch must be 64..2048"},
      {{u"check", u"--source", u"C:\\src", u"--vss-writers"}, "--vss-writers requires backup, not check"},
  };
  for (const auto& c : cases) {
    prepare_volume();
    std::string pattern = std::string("^vardokeep-agent: ") + c.message + " \\(Windows error=[0-9]+\\)\n$";
    EXPECT_EXIT(run_agent(c.args), testing::ExitedWithCode(1), pattern) << c.message;
  }
  // ssh.exe writes to the same standard error: its lines may come between the
  // agent's writes, never inside the failure line.
  prepare_volume();
  substitute.stderr_neighbour_line = "ssh: a line of its own\n";
  EXPECT_EXIT(run_agent({u"restore"}), testing::ExitedWithCode(1),
              "^vardokeep-agent: unknown command \\(Windows error=[0-9]+\\)\nssh: a line of its own\n$");
}

TEST(CommandLineMessages, UsageVersionAndHelpGoToStandardOutput) {
  struct Case {
    std::vector<std::u16string> args;
    int code;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{}, 2, USAGE_TEXT},
      {{u"--help"}, 0, USAGE_TEXT},
      {{u"--help", u"anything", u"--version"}, 0, USAGE_TEXT},
      {{u"--version"}, 0, "vardokeep-agent 0.1.0 Windows x64\n"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int code = run_agent(c.args);
    EXPECT_EQ(c.out, testing::internal::GetCapturedStdout());
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ(c.code, code);
  }
}

TEST(CommandLineMessages, AcceptedOptionsRunToTheSummary) {
  const std::vector<std::vector<std::u16string>> accepted = {
      {u"check", u"--source", u"C:\\src", u"--batch", u"64"},
      {u"check", u"--source", u"C:\\src", u"--batch", u"2048"},
      {u"check", u"--source", u"C:\\src", u"--batch", u" +100"},
      // check ignores the server options.
      {u"check", u"--ssh-config", u"x", u"--destination", u"y@z", u"--stdio", u"--source", u"C:\\src"},
      // The last --source counts.
      {u"check", u"--source", u"C:\\missing", u"--source", u"C:\\src"},
      with_excludes(64),
      // Read from the shadow copy itself, its root included.
      {u"check", u"--source", u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7\\data"},
      {u"check", u"--source", u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7\\"},
  };
  for (const auto& args : accepted) {
    prepare_volume();
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, run_agent(args));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("agent_version=0.1.0\n"));
  }
}

TEST(CommandLineMessages, BatchAndExclusionsReachTheRunRecords) {
  prepare_volume();
  std::vector<std::u16string> args = {u"check", u"--source", u"C:\\src", u"--batch", u"100", u"--exclude",
                                      u"Build", u"--exclude", u"a/b/"};
  std::vector<std::u16string> storage = {u"agent"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<wchar16*> argv;
  for (auto& a : storage) argv.push_back(a.data());
  check_mode = true;
  parse_capture_options(static_cast<int>(argv.size()), argv.data());
  EXPECT_EQ(100u, chunk_batch.capacity);
  ASSERT_EQ(2u, exclusion_list.count);
  EXPECT_STREQ("Build", exclusion_list.prefixes[0]);  // kept unchanged, case and slash included
  EXPECT_STREQ("a/b/", exclusion_list.prefixes[1]);
  EXPECT_STREQ("C:\\src", run_options.source);
  reset_run_state();
}

}  // namespace

// The real vardokeep-agent.exe under Wine: exact bytes on both channels and the
// exit code, and no private manifest left behind by any run.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "agent/run_control/usage_text.h"
#include "tests/wine_harness/wine_harness.h"

namespace {

namespace fs = std::filesystem;

std::string agent() { return win_build_exe("agent/vardokeep-agent.exe"); }

// A fresh directory under drive_c, returned as its Windows path.
std::string fresh_directory(const std::string& name) {
  fs::path dir = fs::path(wine_drive_c()) / "vk-run-control" / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return "C:\\vk-run-control\\" + name;
}

void expect_fatal(const ChildResult& run, const std::string& message) {
  EXPECT_EQ(1, run.exit_code);
  EXPECT_EQ("", run.out);
  std::regex line("vardokeep-agent: " + message + " \\(Windows error=[0-9]+\\)\r\n");
  EXPECT_TRUE(std::regex_match(run.err, line)) << run.err;
}

TEST(CommandLineUnderWine, UsageAndVersionBytesAndExitCodes) {
  ChildResult none = run_under_wine(agent(), {});
  EXPECT_EQ(2, none.exit_code);
  EXPECT_EQ(USAGE_TEXT, none.out);  // binary standard output: LF only
  EXPECT_EQ("", none.err);

  ChildResult help = run_under_wine(agent(), {"--help", "--version", "x"});
  EXPECT_EQ(0, help.exit_code);
  EXPECT_EQ(USAGE_TEXT, help.out);

  ChildResult version = run_under_wine(agent(), {"--version"});
  EXPECT_EQ(0, version.exit_code);
  EXPECT_EQ("vardokeep-agent 0.1.0 Windows x64\n", version.out);
  EXPECT_EQ("", version.err);
}

TEST(CommandLineUnderWine, FailuresPrintOneCrLfLineWithTheWindowsErrorSuffix) {
  std::string source = fresh_directory("failures");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--version", "again"}, "unknown command"},
      {{"apply-metadata"}, "use: apply-metadata --source DIRECTORY --metadata FILE \\[--owner\\]"},
      {{"check"}, "missing source or SSH configuration"},
      {{"backup", "--source", source}, "missing source or SSH configuration"},
      {{"check", "--source", source, "--nope"}, "missing option value"},
      {{"check", "--source", source, "--nope", "1"}, "unknown option"},
      {{"check", "--source", source, "--batch", "2049"}, "batch must be 64..2048"},
      {{"check", "--source", source, "--exclude", "a/../b"}, "exclusion must be a relative prefix with '/' separators"},
      {{"check", "--source", source + "\\missing"}, "source must be a real directory"},
      {{"check", "--source", source, "--vss-writers"}, "--vss-writers requires backup, not check"},
  };
  for (const auto& c : cases) expect_fatal(run_under_wine(agent(), c.args), c.message);
}

TEST(CommandLineUnderWine, CheckOfAnEmptyDirectoryPrintsTheNineSummaryLines) {
  std::string source = fresh_directory("empty \xC3\xA1rvore");
  ChildResult run = run_under_wine(agent(), {"check", "--source", source, "--batch", "64"});
  EXPECT_EQ(0, run.exit_code) << run.err;
  EXPECT_EQ("", run.out);
  std::regex summary(
      "agent_version=0\\.1\\.0\r\nfiles=0\r\ndirectories=[01]\r\nalternate_streams=0\r\nreparse_placeholders=0\r\n"
      "chunks_checked=0\r\nchunk_bytes_sent=0\r\nchunk_wire_bytes_sent=0\r\nmanifest_bytes=[0-9]+\r\n");
  EXPECT_TRUE(std::regex_match(run.err, summary)) << run.err;
}

}  // namespace

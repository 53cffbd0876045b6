// The real vardokeep-agent.exe under Wine, which has no shadow copy service:
// --vss-writers ends the run at the requester, before the private manifest
// and before any ssh.exe, with one line and exit code 1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include "tests/wine_harness/wine_harness.h"

namespace {

namespace fs = std::filesystem;

std::string agent() { return win_build_exe("agent/vardokeep-agent.exe"); }

std::string fresh_source() {
  fs::path dir = fs::path(wine_drive_c()) / "vk-vss" / "src";
  fs::remove_all(dir.parent_path());
  fs::create_directories(dir);
  std::ofstream(dir / "f.txt") << "content";
  std::ofstream(dir.parent_path() / "ssh.conf") << "Host vardo-backup\n  HostName 127.0.0.1\n";
  return "C:\\vk-vss\\src";
}

// Private manifests in either place Wine may keep the user's temporary files.
size_t manifests_left() {
  const char* user = getenv("USER");
  std::string name = user != nullptr && *user != 0 ? user : "root";
  size_t count = temp_files_named("vardo-agent-").size();
  fs::path wine_temp = fs::path(wine_drive_c()) / "users" / name / "Temp";
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(wine_temp, ignored)) {
    if (entry.path().filename().string().rfind("vardo-agent-", 0) == 0) ++count;
  }
  return count;
}

void expect_only_line(const ChildResult& run, const std::string& message) {
  EXPECT_EQ(1, run.exit_code);
  EXPECT_EQ("", run.out);
  std::regex line("vardokeep-agent: " + message + " \\(Windows error=[0-9]+\\)\r\n");
  EXPECT_TRUE(std::regex_match(run.err, line)) << run.err;
}

TEST(VssUnderWine, BackupStopsAtTheRequesterWithNoManifestAndNoServer) {
  std::string source = fresh_source();
  ASSERT_EQ(0u, manifests_left());
  // Through ssh.exe and through --stdio: either way the transport never starts,
  // so the one line on standard error is the requester's.
  const std::vector<std::vector<std::string>> runs = {
      {"backup", "--source", source, "--ssh-config", "C:\\vk-vss\\ssh.conf", "--destination", "vardo-backup",
       "--vss-writers"},
      {"backup", "--vss-writers", "--source", source, "--stdio"},
  };
  for (const auto& args : runs) {
    ChildResult run =
        run_under_wine(agent(), args, {.input = "VARDO-HELLO-THAT-NOBODY-READS", .time_limit_seconds = 120});
    expect_only_line(run, "VSS create requester HRESULT=0x80004001");
    EXPECT_EQ(0u, manifests_left());
  }
}

TEST(VssUnderWine, PreconditionsHaveTheirMessages) {
  std::string source = fresh_source();
  expect_only_line(run_under_wine(agent(), {"check", "--source", source, "--vss-writers"}),
                   "--vss-writers requires backup, not check");
  expect_only_line(run_under_wine(agent(), {"backup", "--source", "\\\\?\\" + source, "--stdio", "--vss-writers"}),
                   "VSS requires a local volume");
}

}  // namespace

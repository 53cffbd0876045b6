// No run, successful or failed, leaves its private manifest in the temporary
// directory: the system deletes it when the agent's handle closes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/wine_harness/wine_harness.h"

namespace {

namespace fs = std::filesystem;

TEST(NoManifestLeftBehind, AfterSuccessfulAndFailedRuns) {
  fs::path dir = fs::path(wine_drive_c()) / "vk-run-control" / "leftovers";
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::ofstream(dir / "f.txt") << "content";
  std::string source = "C:\\vk-run-control\\leftovers";
  ASSERT_TRUE(fs::is_directory(wine_temp_dir_linux()));
  ASSERT_TRUE(temp_files_named("vardo-agent-").empty());

  const std::vector<std::vector<std::string>> runs = {
      {"check", "--source", source},
      {"check", "--source", source, "--batch", "64", "--exclude", "f.txt"},
      // Fails after the manifest exists: no server answers on standard input.
      {"backup", "--source", source, "--stdio"},
      // Fails before it: no shadow copy service.
      {"backup", "--source", source, "--stdio", "--vss-writers"},
  };
  for (const auto& args : runs) {
    ChildResult run = run_under_wine(win_build_exe("agent/vardokeep-agent.exe"), args);
    EXPECT_TRUE(temp_files_named("vardo-agent-").empty()) << run.err;
    if (args[0] == "backup") {
      EXPECT_EQ(1, run.exit_code);
      EXPECT_EQ(std::string::npos, run.err.find("agent_version=")) << run.err;
    } else {
      EXPECT_EQ(0, run.exit_code) << run.err;
    }
  }
}

}  // namespace

// --vss-writers inside a whole run: after the source checks, before the
// private manifest and the server; a failure after the snapshot still removes it.
#include <gtest/gtest.h>

#include "tests/vss/vss_child_run.h"

namespace {

void prepare() {
  substitute_reset();
  substitute_add_directory(u"C:\\src");
  substitute_vss_reset();
}

bool created_manifest(const ChildRun& run) {
  for (const auto& call : run.volume_calls) {
    if (call.rfind("CreateFileW C:\\Temp\\vardo-agent-", 0) == 0) return true;
  }
  return false;
}

TEST(VssRunSequence, SourceChecksComeFirstAndCheckIsRefusedBeforeAnyVssCall) {
  prepare();
  ChildRun missing = run_agent_in_child({u"check", u"--vss-writers", u"--source", u"C:\\nothing"});
  EXPECT_EQ("vardokeep-agent: source must be a real directory (Windows error=N)\n", missing.err);

  prepare();
  ChildRun check = run_agent_in_child({u"check", u"--vss-writers", u"--source", u"C:\\src"});
  EXPECT_EQ(1, check.exit_code);
  EXPECT_EQ("vardokeep-agent: --vss-writers requires backup, not check (Windows error=N)\n", check.err);
  EXPECT_TRUE(check.calls.empty());
  EXPECT_FALSE(created_manifest(check));
}

TEST(VssRunSequence, AFailedSnapshotEndsTheRunBeforeTheManifestAndTheServer) {
  prepare();
  substitute_vss.results["CreateVssBackupComponentsInternal"] = static_cast<int32_t>(0x80004001u);
  ChildRun run = run_agent_in_child({u"backup", u"--source", u"C:\\src", u"--stdio", u"--vss-writers"});
  EXPECT_EQ(1, run.exit_code);
  EXPECT_EQ("vardokeep-agent: VSS create requester HRESULT=0x80004001 (Windows error=N)\n", run.err);
  EXPECT_EQ("GetVolumePathNameW C:\\src", run.calls.front());
  EXPECT_EQ(std::vector<std::string>{"CoUninitialize"}, run.exit_calls);
  EXPECT_FALSE(created_manifest(run));

  // A snapshot path that leads back to a live volume: refused before the
  // manifest, and the snapshot is deleted.
  prepare();
  substitute_add_directory(u"C:\\top\\src");
  substitute_add_directory(u"D:\\live\\src");
  substitute.links[u"GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7\\top"] = u"D:\\live";
  ChildRun out = run_agent_in_child({u"backup", u"--source", u"C:\\top\\src", u"--stdio", u"--vss-writers"});
  EXPECT_EQ(1, out.exit_code);
  EXPECT_NE(std::string::npos,
            out.err.find("vardokeep-agent: VSS snapshot source leads out of the shadow copy (Windows error=N)\n"))
      << out.err;
  EXPECT_EQ(std::string::npos, out.err.find("vss_mode=")) << out.err;
  EXPECT_FALSE(created_manifest(out));
  EXPECT_EQ(cleanup_after_snapshot, out.exit_calls);
}

TEST(VssRunSequence, AFailureAfterTheSnapshotAbortsAndDeletesItAtExit) {
  prepare();
  // Nothing answers on standard input: the server side of the run fails.
  ChildRun run = run_agent_in_child({u"backup", u"--source", u"C:\\src", u"--stdio", u"--vss-writers"});
  EXPECT_EQ(1, run.exit_code);
  const std::string before = "vss_writer=System Writer state=1 HRESULT=0x00000000\nvss_mode=writers-copy\n";
  ASSERT_GE(run.err.size(), before.size());
  EXPECT_EQ(before, run.err.substr(0, before.size()));
  EXPECT_NE(std::string::npos, run.err.find("vardokeep-agent: ", before.size()));
  EXPECT_TRUE(created_manifest(run));
  EXPECT_EQ(cleanup_after_snapshot, run.exit_calls);
  EXPECT_EQ("requesters=0 async=0 names=0 com=0", run.live_at_exit);
}

}  // namespace

// Every VSS failure: its one line, the exit code, and exactly what the exit
// handler undoes in the state the failure left behind.
#include <gtest/gtest.h>

#include <functional>

#include "tests/vss/vss_child_run.h"

namespace {

constexpr int32_t hr(uint32_t value) { return static_cast<int32_t>(value); }

const std::string kWriter = "vss_writer=System Writer state=1 HRESULT=0x00000000\n";
const std::string kSnapshotMade =
    kWriter + "vss_mode=writers-copy\nsnapshot_source=\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7\\data\n";

std::string fatal(const std::string& message) { return "vardokeep-agent: " + message + " (Windows error=N)\n"; }

struct Case {
  const char* name;
  std::function<void()> script;
  std::string err;                      // the whole of standard error
  std::vector<std::string> exit_calls;  // what the exit handler did
  std::u16string full_path = u"C:\\data";
  bool check = false;
};

TEST(VssFailureCleanup, EachFailureHasItsMessageAndTheCleanupOfItsState) {
  const std::vector<std::string> none;
  const std::vector<std::string> com_only = {"CoUninitialize"};
  const std::vector<std::string>& before = cleanup_before_snapshot;
  const std::vector<std::string>& after = cleanup_after_snapshot;
  auto async = [](const char* call, SubstituteVssAsyncScript script) {
    return [=] { substitute_vss.async[call] = script; };
  };
  auto result = [](const char* call, int32_t value) { return [=] { substitute_vss.results[call] = value; }; };
  SubstituteVssAsyncScript missing;
  missing.missing = true;
  SubstituteVssAsyncScript pending;
  pending.wait_result = hr(0x80042313);  // the wait timed out
  pending.status = WIN_VSS_S_ASYNC_PENDING;
  SubstituteVssAsyncScript failed;
  failed.status = hr(0x800423F3);  // a writer's retryable error
  SubstituteVssAsyncScript unwritten;
  unwritten.query_result = hr(0x80070005);
  unwritten.status_unwritten = true;

  const std::vector<Case> cases = {
      // Preconditions: nothing of VSS is touched.
      {"check", [] {}, fatal("--vss-writers requires backup, not check"), none, u"C:\\data", true},
      {"unc", [] {}, fatal("VSS requires a local volume"), none, u"\\\\server\\share\\data"},
      {"long form", [] {}, fatal("VSS requires a local volume"), none, u"\\\\?\\C:\\data"},
      {"no volume", [] { substitute_vss.volumes.clear(); }, fatal("VSS requires a local volume"), none},
      {"no volume name", result("GetVolumeNameForVolumeMountPointW", -1), fatal("VSS requires a local volume"),
       none},
      // Synchronous steps, in sequence order.
      {"com init", result("CoInitializeEx", hr(0x80010106)), fatal("VSS COM init HRESULT=0x80010106"), none},
      {"com security", result("CoInitializeSecurity", hr(0x80010119)), fatal("VSS COM security HRESULT=0x80010119"),
       com_only},
      {"create", result("CreateVssBackupComponentsInternal", hr(0x80004001)),
       fatal("VSS create requester HRESULT=0x80004001"), com_only},
      {"initialize", result("InitializeForBackup", hr(0x80042302)), fatal("VSS initialize HRESULT=0x80042302"),
       before},
      {"context", result("SetContext", hr(0x80070057)), fatal("VSS context HRESULT=0x80070057"), before},
      {"backup state", result("SetBackupState", hr(0x80042301)), fatal("VSS backup state HRESULT=0x80042301"),
       before},
      {"start set", result("StartSnapshotSet", hr(0x80042316)), fatal("VSS start snapshot set HRESULT=0x80042316"),
       before},
      {"add volume", result("AddToSnapshotSet", hr(0x8004230C)), fatal("VSS add volume HRESULT=0x8004230c"),
       before},
      {"properties", result("GetSnapshotProperties", hr(0x80042308)),
       kWriter + fatal("VSS snapshot properties HRESULT=0x80042308"), after},
      {"writer count", result("GetWriterStatusCount", hr(0x80042302)), fatal("VSS writer count HRESULT=0x80042302"),
       after},
      {"writer state", result("GetWriterStatus", hr(0x80042302)), fatal("VSS writer state HRESULT=0x80042302"),
       after},
      {"free writers", result("FreeWriterStatus", hr(0x80042302)),
       kWriter + fatal("VSS free writer status HRESULT=0x80042302"), after},
      // Asynchronous steps.
      {"metadata missing", async("GatherWriterMetadata", missing), fatal("VSS async object missing: writer metadata"),
       before},
      {"metadata start", result("GatherWriterMetadata", hr(0x80042318)),
       fatal("VSS writer metadata HRESULT=0x80042318"), before},
      {"prepare failed", async("PrepareForBackup", failed),
       fatal("VSS async operation failed/timed out: prepare writers HRESULT=0x800423f3"), before},
      // No snapshot exists after a failed DoSnapshotSet: no deletion.
      {"snapshot pending", async("DoSnapshotSet", pending),
       fatal("VSS async operation failed/timed out: create snapshot HRESULT=0x00042309"), before},
      {"snapshot start", result("DoSnapshotSet", hr(0x80042317)), fatal("VSS create snapshot HRESULT=0x80042317"),
       before},
      {"snapshot missing", async("DoSnapshotSet", missing), fatal("VSS async object missing: create snapshot"),
       before},
      {"status unwritten", async("GatherWriterStatus", unwritten),
       fatal("VSS async operation failed/timed out: writer status HRESULT=0x80004005"), after},
      {"no writers", [] { substitute_vss.writer_lists = {{}}; },
       fatal("VSS no participating writers; application consistency was requested"), after},
      {"unstable writer", [] { substitute_vss.writer_lists = {{{u"SqlServerWriter", true, 2, 0}}}; },
       "vss_writer=SqlServerWriter state=2 HRESULT=0x00000000\n" + fatal("VSS writer failed or is not stable"),
       after},
      // The path inside the snapshot must stay on it: a junction that the
      // shadow copy holds above the source, its absolute target on a live
      // volume, would make the walk read live data.
      {"snapshot leads out",
       [] {
         substitute.links[u"GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7\\data"] = u"D:\\elsewhere";
         substitute_add_directory(u"D:\\elsewhere\\set");
       },
       kWriter + fatal("VSS snapshot source leads out of the shadow copy"), after, u"C:\\data\\set"},
      {"snapshot source missing",
       [] { substitute.links[u"GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7\\data"] = u"D:\\gone"; },
       kWriter + fatal("VSS snapshot source cannot be opened"), after, u"C:\\data\\set"},
      // After the summary: completion fails, the snapshot still goes.
      {"complete missing", async("BackupComplete", missing),
       kSnapshotMade + fatal("VSS async object missing: backup complete"), after},
      {"complete failed", async("BackupComplete", failed),
       kSnapshotMade + fatal("VSS async operation failed/timed out: backup complete HRESULT=0x800423f3"), after},
      {"second check", [] { substitute_vss.writer_lists = {{{u"System Writer", true, 1, 0}}, {}}; },
       kSnapshotMade + fatal("VSS no participating writers; application consistency was requested"), after},
      {"second count", result("GetWriterStatusCount#2", hr(0x80042302)),
       kSnapshotMade + fatal("VSS writer count HRESULT=0x80042302"), after},
      // A failed deletion at exit is reported but changes nothing else.
      {"delete fails at exit",
       [] {
         substitute_vss.writer_lists = {{}};
         substitute_vss.results["DeleteSnapshots"] = hr(0x80042308);
       },
       fatal("VSS no participating writers; application consistency was requested") +
           "vss_cleanup_warning=0x80042308\n",
       after},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    substitute_reset();
    substitute_vss_reset();
    c.script();
    ChildRun run = run_snapshot_in_child(c.full_path, c.check);
    EXPECT_EQ(1, run.exit_code);
    EXPECT_EQ(c.err, run.err);
    EXPECT_EQ(c.exit_calls, run.exit_calls);
    EXPECT_EQ("requesters=0 async=0 names=0 com=0", run.live_at_exit);
  }
}

TEST(VssFailureCleanup, PreconditionsTouchNeitherTheVolumeNorCom) {
  for (const std::u16string path : {u"\\\\server\\share\\data", u"\\\\?\\C:\\data"}) {
    substitute_vss_reset();
    ChildRun run = run_snapshot_in_child(path, false);
    EXPECT_EQ(1, run.exit_code);
    EXPECT_TRUE(run.calls.empty());
  }
  substitute_vss_reset();
  ChildRun checked = run_snapshot_in_child(u"C:\\data", true);
  EXPECT_TRUE(checked.calls.empty());
}

}  // namespace

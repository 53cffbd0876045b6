// A successful snapshot and completion: every call, its arguments and order,
// the report lines, and where the source lands inside the snapshot.
#include <gtest/gtest.h>

#include <cstdlib>

#include "agent/vss/vss_snapshot.h"
#include "tests/vss/vss_child_run.h"

namespace {

const std::string kVolume = "\\\\?\\Volume{0c0c0c0c-0000-0000-0000-00000000000c}\\";
const std::string kSnapshotId = "{5a5a0007-1111-2222-0102-030405060708}";
const std::string kDevice = "\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7";

std::vector<std::string> async_step(const std::string& call) {
  return {call, "Wait " + call + " 120000", "QueryStatus " + call, "Release " + call};
}

std::vector<std::string> writer_check() {
  std::vector<std::string> calls = async_step("GatherWriterStatus");
  for (const char* call : {"GetWriterStatusCount", "GetWriterStatus 0", "SysFreeString System Writer",
                           "FreeWriterStatus"}) {
    calls.push_back(call);
  }
  return calls;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(VssRequesterSequence, SuccessfulRunMakesExactlyTheseCallsAndLeavesNothing) {
  substitute_vss_reset();
  ChildRun run = run_snapshot_in_child(u"C:\\data\\set");

  std::vector<std::string> expected =
      std::vector<std::string>{"GetVolumePathNameW C:\\data\\set", "GetVolumeNameForVolumeMountPointW C:\\",
                               "CoInitializeEx 0", "CoInitializeSecurity 6 3 0",
                               "CreateVssBackupComponentsInternal", "InitializeForBackup", "SetContext 0",
                               "SetBackupState 0 0 5 0"} +
      async_step("GatherWriterMetadata") +
      std::vector<std::string>{"StartSnapshotSet",
                               "AddToSnapshotSet " + kVolume + " {00000000-0000-0000-0000-000000000000}"} +
      async_step("PrepareForBackup") + async_step("DoSnapshotSet") + writer_check() +
      std::vector<std::string>{"GetSnapshotProperties " + kSnapshotId + " zero-filled",
                               "VssFreeSnapshotPropertiesInternal"} +
      async_step("BackupComplete") + writer_check() +
      std::vector<std::string>{"DeleteSnapshots " + kSnapshotId + " 3 1", "Release requester", "CoUninitialize"};
  EXPECT_EQ(expected, run.calls);
  EXPECT_EQ(0, run.exit_code);
  // Writer lines twice, the mode line once; the exit handler has nothing left.
  EXPECT_EQ("vss_writer=System Writer state=1 HRESULT=0x00000000\n"
            "vss_mode=writers-copy\n"
            "snapshot_source=" + kDevice + "\\data\\set\n"
            "vss_writer=System Writer state=1 HRESULT=0x00000000\n",
            run.err);
  EXPECT_TRUE(run.exit_calls.empty());
  EXPECT_EQ("requesters=0 async=0 names=0 com=0", run.live_at_exit);
}

TEST(VssRequesterSequence, ASecondCleanupFindsNothingToDo) {
  substitute_vss_reset();
  substitute_add_directory(u"C:\\data");
  ChildRun run = run_in_child([] {
    wchar16* path = vss_snapshot_source(u"C:\\data");
    free(path);
    vss_complete_backup();
    size_t before = substitute_vss.calls.size();
    vss_cleanup();
    vss_cleanup();
    return substitute_vss.calls.size() == before ? 0 : 7;
  });
  EXPECT_EQ(0, run.exit_code);
  EXPECT_TRUE(run.exit_calls.empty());
}

TEST(VssRequesterSequence, FailedFinalDeleteIsAWarningAndTheRunStillSucceeds) {
  substitute_vss_reset();
  substitute_vss.results["DeleteSnapshots"] = static_cast<int32_t>(0x8004230Fu);
  ChildRun run = run_snapshot_in_child(u"C:\\data");
  EXPECT_EQ(0, run.exit_code);
  std::string tail = "vss_writer=System Writer state=1 HRESULT=0x00000000\nvss_cleanup_warning=0x8004230f\n";
  ASSERT_GE(run.err.size(), tail.size());
  EXPECT_EQ(tail, run.err.substr(run.err.size() - tail.size()));
  std::vector<std::string> end(run.calls.end() - 3, run.calls.end());
  EXPECT_EQ((std::vector<std::string>{"DeleteSnapshots " + kSnapshotId + " 3 1", "Release requester",
                                      "CoUninitialize"}),
            end);
}

// Where the source lands: the device object, a backslash, the part below the
// mount point of the source's own volume.
TEST(VssRequesterSequence, SnapshotSourcePathFollowsTheMountPoint) {
  struct Case {
    std::u16string full_path;
    std::string volume_asked;
    std::string expected_path;
  };
  const std::string mounted = "\\\\?\\Volume{d15c0000-0000-0000-0000-0000000000d1}\\";
  const Case cases[] = {
      {u"D:\\", "D:\\", kDevice + "\\"},                                // a volume root keeps a trailing backslash
      {u"C:\\mnt\\disk\\data\\x", "C:\\mnt\\disk\\", kDevice + "\\data\\x"},  // below a mounted folder
      {u"C:\\mnt\\disk", "C:\\mnt\\disk\\", kDevice + "\\"},            // the mount folder itself
      {u"C:\\mnt\\diskette", "C:\\", kDevice + "\\mnt\\diskette"},      // a sibling is on C:
  };
  for (const auto& c : cases) {
    substitute_vss_reset();
    substitute_vss.volumes.push_back({u"D:\\", u"\\\\?\\Volume{d0000000-0000-0000-0000-00000000000d}\\"});
    substitute_vss.volumes.push_back({u"C:\\mnt\\disk\\", u16(mounted)});
    ChildRun run = run_snapshot_in_child(c.full_path);
    EXPECT_EQ(0, run.exit_code) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("snapshot_source=" + c.expected_path + "\n")) << run.err;
    ASSERT_GE(run.calls.size(), 2u);
    EXPECT_EQ("GetVolumeNameForVolumeMountPointW " + c.volume_asked, run.calls[1]);
  }
  // The mounted volume, not C:, goes into the snapshot set.
  substitute_vss_reset();
  substitute_vss.volumes.push_back({u"C:\\mnt\\disk\\", u16(mounted)});
  ChildRun run = run_snapshot_in_child(u"C:\\mnt\\disk\\data");
  bool added = false;
  for (const auto& call : run.calls) added |= call.rfind("AddToSnapshotSet " + mounted + " ", 0) == 0;
  EXPECT_TRUE(added);
}

// A junction on the way to the source leads to another volume: that volume is
// the one copied, and the path inside its snapshot is what the junction leads
// to, so nothing is read from a live volume.
TEST(VssRequesterSequence, TheSourceIsResolvedBeforeItsVolumeIsChosen) {
  const std::string d_volume = "\\\\?\\Volume{d0000000-0000-0000-0000-00000000000d}\\";
  substitute_reset();
  substitute_vss_reset();
  substitute_vss.volumes.push_back({u"D:\\", u16(d_volume)});
  substitute.links[u"C:\\link"] = u"D:\\real";
  substitute_add_directory(u"D:\\real\\data");
  ChildRun run = run_snapshot_in_child(u"C:\\link\\data");
  EXPECT_EQ(0, run.exit_code) << run.err;
  EXPECT_EQ("GetVolumePathNameW D:\\real\\data", run.calls.front());
  bool added = false;
  for (const auto& call : run.calls) added |= call.rfind("AddToSnapshotSet " + d_volume + " ", 0) == 0;
  EXPECT_TRUE(added);
  EXPECT_NE(std::string::npos, run.err.find("snapshot_source=" + kDevice + "\\real\\data\n")) << run.err;
}

TEST(VssRequesterSequence, SnapshotPathBoundIs32760UnitsWithSeparatorAndTerminator) {
  // device + remainder + 2 == 32760 is accepted; one unit more is refused.
  const std::u16string device = u16(kDevice);
  const size_t remainder_fits = 32760 - 2 - device.size();
  for (size_t extra : {size_t{0}, size_t{1}}) {
    substitute_vss_reset();
    std::u16string full = u"C:\\" + std::u16string(remainder_fits + extra, u'a');
    ChildRun run = run_snapshot_in_child(full);
    if (extra == 0) {
      EXPECT_EQ(0, run.exit_code) << run.err.substr(0, 200);
    } else {
      EXPECT_EQ(1, run.exit_code);
      EXPECT_NE(std::string::npos, run.err.find("vardokeep-agent: VSS snapshot path too long (Windows error=N)\n"));
      EXPECT_EQ(cleanup_after_snapshot, run.exit_calls);
    }
  }
}

}  // namespace

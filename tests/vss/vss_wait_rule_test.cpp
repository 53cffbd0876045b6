// The wait for an asynchronous step: what happens to the IVssAsync object on
// every outcome, and which status the failure line shows.
#include <gtest/gtest.h>

#include "agent/vss/vss_snapshot.h"
#include "tests/vss/vss_child_run.h"

namespace {

constexpr int32_t hr(uint32_t value) { return static_cast<int32_t>(value); }

ChildRun wait_for_snapshot(const SubstituteVssAsyncScript& script, int32_t start_result = 0) {
  substitute_vss_reset();
  substitute_vss.async["DoSnapshotSet"] = script;
  substitute_vss.results["DoSnapshotSet"] = start_result;
  return run_in_child([] {
    VssAsync* async = nullptr;
    int32_t started = vss_do_snapshot_set(nullptr, &async);
    vss_wait_async(started, async, "create snapshot");
    return 0;
  });
}

TEST(VssWaitRule, FinishedOperationIsWaitedForQueriedAndReleased) {
  ChildRun run = wait_for_snapshot({});
  EXPECT_EQ(0, run.exit_code);
  EXPECT_EQ((std::vector<std::string>{"DoSnapshotSet", "Wait DoSnapshotSet 120000", "QueryStatus DoSnapshotSet",
                                      "Release DoSnapshotSet"}),
            run.calls);
  EXPECT_EQ("", run.err);
}

TEST(VssWaitRule, UnfinishedOrUnconfirmedOperationIsCancelledThenReleased) {
  struct Case {
    const char* name;
    SubstituteVssAsyncScript script;
    const char* shown_status;
  };
  SubstituteVssAsyncScript pending;
  pending.wait_result = hr(0x80042313);
  pending.status = WIN_VSS_S_ASYNC_PENDING;
  SubstituteVssAsyncScript never_written;
  never_written.status_unwritten = true;
  SubstituteVssAsyncScript wait_failed;  // finished, but the wait itself failed
  wait_failed.wait_result = hr(0x80070006);
  SubstituteVssAsyncScript query_failed;
  query_failed.query_result = hr(0x80070006);
  SubstituteVssAsyncScript cancelled;
  cancelled.status = 0x0004230B;
  const Case cases[] = {
      {"still running", pending, "0x00042309"},
      {"status never written", never_written, "0x80004005"},
      {"wait failed", wait_failed, "0x0004230a"},
      {"query failed", query_failed, "0x0004230a"},
      {"cancelled", cancelled, "0x0004230b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ChildRun run = wait_for_snapshot(c.script);
    EXPECT_EQ(1, run.exit_code);
    EXPECT_EQ((std::vector<std::string>{"DoSnapshotSet", "Wait DoSnapshotSet 120000", "QueryStatus DoSnapshotSet",
                                        "Cancel DoSnapshotSet", "Release DoSnapshotSet"}),
              run.calls);
    EXPECT_EQ(std::string("vardokeep-agent: VSS async operation failed/timed out: create snapshot HRESULT=") +
                  c.shown_status + " (Windows error=N)\n",
              run.err);
    EXPECT_EQ("requesters=0 async=0 names=0 com=0", run.live_at_exit);
  }
}

TEST(VssWaitRule, FailedStartReleasesAReturnedObjectWithoutWaiting) {
  SubstituteVssAsyncScript returned;
  returned.returned_on_failure = true;
  ChildRun run = wait_for_snapshot(returned, hr(0x80042317));
  EXPECT_EQ(1, run.exit_code);
  EXPECT_EQ((std::vector<std::string>{"DoSnapshotSet", "Release DoSnapshotSet"}), run.calls);
  EXPECT_EQ("vardokeep-agent: VSS create snapshot HRESULT=0x80042317 (Windows error=N)\n", run.err);
  EXPECT_EQ("requesters=0 async=0 names=0 com=0", run.live_at_exit);

  ChildRun bare = wait_for_snapshot({}, hr(0x80042317));
  EXPECT_EQ((std::vector<std::string>{"DoSnapshotSet"}), bare.calls);
}

}  // namespace

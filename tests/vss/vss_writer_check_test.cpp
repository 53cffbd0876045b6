// The writer check: one line per writer, in order, and only stable writers
// (or writers waiting for backup complete) without a failure code pass.
#include <gtest/gtest.h>

#include "agent/vss/vss_snapshot.h"
#include "tests/vss/vss_child_run.h"

namespace {

constexpr int32_t hr(uint32_t value) { return static_cast<int32_t>(value); }

ChildRun check_writers(const std::vector<SubstituteVssWriter>& writers) {
  substitute_vss_reset();
  substitute_vss.writer_lists = {writers};
  return run_in_child([] {
    vss_check_writers();
    return 0;
  });
}

TEST(VssWriterCheck, OnlyStatesOneAndFiveWithoutFailurePass) {
  for (int32_t state = -1; state <= 15; ++state) {
    SCOPED_TRACE(state);
    ChildRun run = check_writers({{u"W", true, state, 0}});
    bool accepted = state == 1 || state == 5;
    EXPECT_EQ(accepted ? 0 : 1, run.exit_code);
    std::string line = "vss_writer=W state=" + std::to_string(state) + " HRESULT=0x00000000\n";
    EXPECT_EQ(accepted ? line : line + "vardokeep-agent: VSS writer failed or is not stable (Windows error=N)\n",
              run.err);
  }
}

TEST(VssWriterCheck, EveryWriterIsReportedAndItsNameFreed) {
  ChildRun run = check_writers({{u"", false, 1, 0},
                                {u"Microsoft Exchange Writer", true, 5, 0},
                                {u"Gravador \u00e7\u00e3o \U0001F4BE", true, 1, 0x0004230A}});
  EXPECT_EQ(0, run.exit_code);
  EXPECT_EQ("vss_writer=unknown state=1 HRESULT=0x00000000\n"
            "vss_writer=Microsoft Exchange Writer state=5 HRESULT=0x00000000\n"
            "vss_writer=Gravador \xC3\xA7\xC3\xA3o \xF0\x9F\x92\xBE state=1 HRESULT=0x0004230a\n",
            run.err);
  EXPECT_EQ((std::vector<std::string>{"GatherWriterStatus", "Wait GatherWriterStatus 120000",
                                      "QueryStatus GatherWriterStatus", "Release GatherWriterStatus",
                                      "GetWriterStatusCount", "GetWriterStatus 0", "SysFreeString null",
                                      "GetWriterStatus 1", "SysFreeString Microsoft Exchange Writer",
                                      "GetWriterStatus 2", "SysFreeString Gravador \xC3\xA7\xC3\xA3o \xF0\x9F\x92\xBE",
                                      "FreeWriterStatus"}),
            run.calls);
}

TEST(VssWriterCheck, AStableWriterWithAFailureStopsTheCheckAfterItsOwnLine) {
  ChildRun run = check_writers({{u"A", true, 1, 0}, {u"B", true, 1, hr(0x800423F4)}, {u"C", true, 1, 0}});
  EXPECT_EQ(1, run.exit_code);
  EXPECT_EQ("vss_writer=A state=1 HRESULT=0x00000000\n"
            "vss_writer=B state=1 HRESULT=0x800423f4\n"
            "vardokeep-agent: VSS writer failed or is not stable (Windows error=N)\n",
            run.err);
  EXPECT_EQ("SysFreeString B", run.calls.back());
  EXPECT_EQ("requesters=0 async=0 names=0 com=0", run.live_at_exit);
}

}  // namespace

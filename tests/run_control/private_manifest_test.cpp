// The private manifest: created afresh per run, never captured, never left behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "agent/capture/chunk_batch.h"
#include "agent/run_control/run_state.h"
#include "tests/support/run_agent.h"

namespace {

const std::vector<std::u16string> check_src = {u"check", u"--source", u"C:\\src"};

void prepare_volume() {
  substitute_reset();
  substitute_add_directory(u"C:\\src");
  reset_run_state();
}

std::u16string manifest_name(int attempt) {
  char name[96];
  snprintf(name, sizeof name, "vardo-agent-%u-%llu-%d.tmp", substitute.process_id,
           static_cast<unsigned long long>(substitute.tick_count), attempt);
  return u16(name);
}

TEST(PrivateManifest, IsCreatedUnsharedDeleteOnCloseAndGoneAfterTheRun) {
  prepare_volume();
  testing::internal::CaptureStderr();
  ASSERT_EQ(0, run_agent(check_src));
  std::string err = testing::internal::GetCapturedStderr();

  const SubstituteCall* create = nullptr;
  for (const auto& call : substitute.calls) {
    if (call.operation == "CreateFileW" && call.disposition == WIN_CREATE_NEW) create = &call;
  }
  ASSERT_NE(nullptr, create);
  EXPECT_EQ(substitute.temp_directory + manifest_name(0), create->path);
  EXPECT_EQ(WIN_GENERIC_READ | WIN_GENERIC_WRITE, create->access);
  EXPECT_EQ(0u, create->share);
  EXPECT_EQ(WIN_FILE_ATTRIBUTE_TEMPORARY | WIN_FILE_FLAG_DELETE_ON_CLOSE, create->flags);

  EXPECT_EQ(0u, substitute_count_temp_files(u"vardo-agent-"));
  const auto& written = substitute.deleted_files[substitute.temp_directory + manifest_name(0)];
  // The magic, then the source root's record; the summary counts every byte.
  ASSERT_GT(written.size(), 8u);
  EXPECT_EQ(std::string("VARDOM06"), std::string(written.begin(), written.begin() + 8));
  EXPECT_NE(std::string::npos, err.find("manifest_bytes=" + std::to_string(written.size()) + "\n"));
  EXPECT_EQ(std::vector<std::u16string>{u"SeBackupPrivilege"}, substitute.enabled_privileges);
}

// The temporary directory inside the source, the source or the temporary
// directory spelled through a subst drive or in another case: the walk records
// the folder and never meets its own manifest (it would fail on its sharing).
TEST(PrivateManifest, TheManifestInsideTheSourceIsSkippedWhateverTheSpelling) {
  struct Case {
    const char* name;
    std::u16string source;
    std::u16string temp;
  };
  const Case cases[] = {
      {"same spelling", u"C:\\src", u"C:\\src\\tmp\\"},
      {"other case", u"c:\\SRC", u"C:\\src\\tmp\\"},
      {"source through a subst drive", u"S:\\", u"C:\\src\\tmp\\"},
      {"temporary directory through a subst drive", u"C:\\src", u"S:\\tmp\\"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    prepare_volume();
    substitute.links[u"S:"] = u"C:\\src";
    substitute_add_directory(u"C:\\src\\tmp");
    substitute_add_file(u"C:\\src\\data", {1, 2, 3});
    substitute.temp_directory = c.temp;
    testing::internal::CaptureStderr();
    int code = run_agent({u"check", u"--source", c.source});
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(0, code) << err;
    EXPECT_NE(std::string::npos, err.find("files=1\ndirectories=2\n")) << err;
    size_t manifest_opens = 0;
    for (const auto& call : substitute.calls) {
      manifest_opens += call.operation == "CreateFileW" && call.path.find(u"vardo-agent-") != std::u16string::npos;
    }
    EXPECT_EQ(1u, manifest_opens);
  }
}

// Where the system will not give the source root's normalized final path (a
// server that cannot name one to an account that may not open a parent, or a
// failing query), the run goes on: a root on a share cannot hold a manifest
// on a drive, the name as opened is compared instead, and without either the
// walk fails on the manifest rather than capture it.
TEST(PrivateManifest, ASourceWhoseFinalPathIsRefusedIsStillWalked) {
  struct Case {
    const char* name;
    std::u16string source;
    std::u16string temp;
    SubstituteFault fault;
    bool asks_opened;
    const char* fails_with;  // null: the run succeeds without the manifest
  };
  const Case cases[] = {
      {"share without normalized names, manifest on a drive", u"\\\\server\\share\\folder", u"C:\\Temp\\", {}, false,
       nullptr},
      {"the same share through a mapped drive", u"Z:\\folder", u"C:\\Temp\\", {}, true, nullptr},
      {"normalized name refused, manifest inside the source", u"C:\\src", u"C:\\src\\tmp\\",
       {"GetFinalPathNameByHandleW", u"C:\\src", 234, 1}, true, nullptr},
      {"both names refused, manifest inside the source", u"C:\\src", u"C:\\src\\tmp\\",
       {"GetFinalPathNameByHandleW", u"C:\\src", 234}, true,
       "^vardokeep-agent: open \\(locked or denied\\): tmp/vardo-agent-[0-9-]+\\.tmp \\(Windows error=32\\)\n$"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    prepare_volume();
    substitute_add_file(u"C:\\src\\tmp\\data", {1, 2, 3});
    substitute_add_file(u"\\\\server\\share\\folder\\data", {1, 2, 3});
    substitute.shares_without_normalized_names.insert(u"\\\\SERVER\\share");
    substitute.links[u"Z:"] = u"\\\\server\\share";
    substitute.temp_directory = c.temp;
    if (!c.fault.operation.empty()) substitute.faults.push_back(c.fault);
    if (c.fails_with != nullptr) {
      EXPECT_EXIT(run_agent({u"check", u"--source", c.source}), testing::ExitedWithCode(1), c.fails_with);
      continue;
    }
    testing::internal::CaptureStderr();
    int code = run_agent({u"check", u"--source", c.source});
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(0, code) << err;
    EXPECT_NE(std::string::npos, err.find("files=1\n")) << err;
    bool asked_opened = false;
    for (const auto& call : substitute.calls) {
      asked_opened |= call.operation == "GetFinalPathNameByHandleW" && call.flags == WIN_FILE_NAME_OPENED;
    }
    EXPECT_EQ(c.asks_opened, asked_opened);
  }
}

TEST(PrivateManifest, CollisionsMoveOnAndAHundredOfThemEndTheRun) {
  prepare_volume();
  for (int attempt = 0; attempt < 99; ++attempt) substitute_add_file(substitute.temp_directory + manifest_name(attempt), {});
  testing::internal::CaptureStderr();
  ASSERT_EQ(0, run_agent(check_src));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(1u, substitute.deleted_files.count(substitute.temp_directory + manifest_name(99)));

  prepare_volume();
  for (int attempt = 0; attempt < 100; ++attempt) substitute_add_file(substitute.temp_directory + manifest_name(attempt), {});
  EXPECT_EXIT(run_agent(check_src), testing::ExitedWithCode(1),
              "^vardokeep-agent: temporary manifest collision \\(Windows error=80\\)\n$");
}

TEST(PrivateManifest, EachSetUpFailureHasItsMessage) {
  struct Case {
    void (*inject)();
    const char* expected;
  };
  const Case cases[] = {
      {[] { substitute.faults.push_back({.operation = "GetTempPathW", .answer = 32701}); },
       "temporary directory \\(Windows error="},
      {[] {
         substitute.faults.push_back(
             {"CreateFileW", substitute.temp_directory + manifest_name(0), WIN_ERROR_ACCESS_DENIED});
       },
       "create private manifest \\(Windows error=5\\)"},
      {[] { substitute.faults.push_back({.operation = "GetFinalPathNameByHandleW", .answer = 32768}); },
       "canonical manifest path \\(Windows error="},
      {[] { substitute.faults.push_back({"_open_osfhandle", u"", WIN_ERROR_INVALID_PARAMETER}); },
       "manifest descriptor \\(Windows error=87\\)"},
  };
  for (const auto& c : cases) {
    prepare_volume();
    c.inject();
    EXPECT_EXIT(run_agent(check_src), testing::ExitedWithCode(1), std::string("^vardokeep-agent: ") + c.expected);
  }
}

}  // namespace

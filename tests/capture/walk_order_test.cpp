// The walk's order, counters, exclusions and limits over the substitute volume.
#include <gtest/gtest.h>

#include <algorithm>

#include "agent/capture/tree_walk.h"
#include "agent/run_control/run_state.h"
#include "tests/capture/capture_support.h"

namespace {

std::u16string key(const std::u16string& relative) { return relative == u"." ? SRC : SRC + u"\\" + relative; }

std::vector<std::u16string> keys(std::initializer_list<const char16_t*> relatives) {
  std::vector<std::u16string> out;
  for (const char16_t* r : relatives) out.push_back(key(r));
  return out;
}

TEST(WalkOrder, DirectoryThenSubtreeThenItsStreamsAndFileThenItsStreams) {
  prepare_source();
  substitute_add_directory(u"C:\\src\\b\\inner");
  substitute_add_file(u"C:\\src\\b\\inner\\x", filled(10, 1));
  substitute_add_stream(u"C:\\src\\b", u"dirstream", filled(5, 2));
  substitute_add_file(u"C:\\src\\a", filled(4096, 3));
  substitute_add_stream(u"C:\\src\\a", u"one", filled(1, 4));
  substitute_add_stream(u"C:\\src\\a", u"two", {});
  substitute_add_stream(SRC, u"rootstream", filled(3, 5));
  CheckRun run = run_check();

  std::vector<std::u16string> expected = keys({u".", u"a", u"a:one:$DATA", u"a:two:$DATA", u"b", u"b\\inner",
                                               u"b\\inner\\x", u"b:dirstream:$DATA"});
  expected.push_back(SRC + u":rootstream:$DATA");
  EXPECT_EQ(expected, record_order());
  EXPECT_EQ(2u, run.summary["files"]);
  EXPECT_EQ(3u, run.summary["directories"]);
  EXPECT_EQ(4u, run.summary["alternate_streams"]);
  EXPECT_EQ(5u, run.summary["chunks_checked"]);  // a, a:one, x, b:dirstream, rootstream; a:two has none
}

TEST(WalkOrder, EveryHandleIsClosedAndADirectoryOutlivesItsChildren) {
  prepare_source();
  substitute_add_file(u"C:\\src\\d\\f", filled(10, 1));
  substitute_add_file(u"C:\\src\\g", filled(10, 1));
  substitute_add_reparse_point(u"C:\\src\\j", {0x03, 0, 0, 0xA0, 0, 0, 0, 0}, true);
  run_check();
  EXPECT_TRUE(substitute.open_handles.empty());

  std::vector<std::u16string> closes;
  for (const auto& call : substitute.calls) {
    if (call.operation == "CloseHandle" && call.path.rfind(SRC, 0) == 0) closes.push_back(call.path);
  }
  // Each file closes before its next sibling opens; a directory after its subtree.
  EXPECT_EQ(keys({u"d\\f", u"d", u"g", u"j", u"."}), closes);
}

// Sharing binds only opens for data or deletion: handles that hold metadata
// rights alone, unshared, stop nothing. While the walk reads d\x, another
// process can rename neither d nor the source (each is being listed, and a
// search shares no deletion) nor x itself (the walk shares none either), so
// the tree stays whole; once the walk is done, d moves.
TEST(WalkOrder, OpensWithoutDataRightsStopNothingAndOpenFilesStopRenames) {
  prepare_source();
  substitute_add_file(u"C:\\src\\d\\x", filled(3, 1));
  substitute_add_file(u"C:\\src\\f", filled(3, 2));
  platform_create_file(u"C:\\src\\f", WIN_READ_CONTROL, 0, WIN_OPEN_EXISTING, 0);
  platform_create_file(u"C:\\src\\d", 0x80, 0, WIN_OPEN_EXISTING, WIN_FILE_FLAG_BACKUP_SEMANTICS);
  std::vector<uint32_t> renames;
  substitute.hooks.push_back({"ReadFile", u"C:\\src\\d\\x", 1, [&renames] {
                                renames.push_back(substitute_rename(u"C:\\src\\d", u"C:\\src\\e"));
                                renames.push_back(substitute_rename(SRC, u"C:\\moved"));
                                renames.push_back(substitute_rename(u"C:\\src\\d\\x", u"C:\\src\\d\\y"));
                              }});
  run_check();
  EXPECT_EQ((std::vector<uint32_t>{WIN_ERROR_SHARING_VIOLATION, WIN_ERROR_SHARING_VIOLATION,
                                   WIN_ERROR_SHARING_VIOLATION}),
            renames);
  EXPECT_EQ(keys({u".", u"d", u"d\\x", u"f"}), record_order());
  EXPECT_EQ(0u, substitute_rename(u"C:\\src\\d", u"C:\\src\\e"));
}

TEST(WalkOrder, ReparsePointsAreRecordedButNeverFollowed) {
  prepare_source();
  substitute_add_reparse_point(u"C:\\src\\j", {0x03, 0, 0, 0xA0, 0, 0, 0, 0}, true);
  substitute_add_file(u"C:\\src\\j\\hidden", filled(10, 1));  // what a follower would find
  substitute_add_stream(u"C:\\src\\j", u"s", filled(10, 1));
  CheckRun run = run_check();
  EXPECT_EQ(keys({u".", u"j"}), record_order());
  EXPECT_EQ(1u, run.summary["reparse_placeholders"]);
  EXPECT_EQ(0u, run.summary["chunks_checked"]);
  for (const auto& call : substitute.calls) {
    EXPECT_FALSE(call.operation == "FindFirstFileW" && call.path == key(u"j"));
    EXPECT_FALSE(call.operation == "FindFirstStreamW" && call.path == key(u"j"));
  }
}

// A volume's root names its streams after its backslash: "\\?\UNC\server\share:r"
// would be a share called "share:r" (the substitute answers 67 for it).
TEST(WalkOrder, TheStreamsOfAShareADriveAndADirectoryRootAreTheirOwn) {
  struct Case {
    std::u16string source;
    std::u16string stream_opened;
  };
  const Case cases[] = {{u"C:\\src", u"C:\\src:r:$DATA"},
                        {u"C:\\src\\", u"C:\\src:r:$DATA"},
                        {u"D:\\", u"D:\\:r:$DATA"},
                        {u"\\\\server\\share", u"\\\\server\\share\\:r:$DATA"},
                        {u"\\\\server\\share\\", u"\\\\server\\share\\:r:$DATA"},
                        {u"\\\\?\\UNC\\server\\share", u"\\\\server\\share\\:r:$DATA"}};
  for (const Case& c : cases) {
    prepare_source();
    substitute_add_directory(u"D:\\");
    substitute_add_directory(u"\\\\server\\share");
    substitute_add_stream(c.source, u"r", filled(2, 1));
    substitute_add_file(substitute_resolve(c.source) + (c.source.back() == u'\\' && c.source.size() == 3 ? u"f" : u"\\f"),
                        filled(2, 2));
    testing::internal::CaptureStderr();
    int code = run_agent({u"check", u"--source", c.source});
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0, code) << u8(c.source) << ": " << err;
    std::vector<std::u16string> stream_opens;
    for (const auto& call : substitute.calls) {
      if (call.operation == "CreateFileW" && call.path.find(u":r") != std::u16string::npos) stream_opens.push_back(call.path);
    }
    EXPECT_EQ(std::vector<std::u16string>{c.stream_opened}, stream_opens) << u8(c.source);
    EXPECT_NE(std::string::npos, err.find("alternate_streams=1\n")) << u8(c.source);
  }
}

TEST(WalkOrder, ExclusionsArePrefixesOfWholeComponentsWithoutCase) {
  struct Case {
    std::vector<std::u16string> excludes;
    std::vector<std::u16string> recorded;
  };
  const std::vector<Case> cases = {
      {{}, keys({u".", u"a", u"a\\x", u"ab", u"b", u"f", u"f:Zone.Identifier:$DATA", u"f:keep:$DATA"})},
      {{u"a"}, keys({u".", u"ab", u"b", u"f", u"f:Zone.Identifier:$DATA", u"f:keep:$DATA"})},
      {{u"A"}, keys({u".", u"ab", u"b", u"f", u"f:Zone.Identifier:$DATA", u"f:keep:$DATA"})},
      {{u"a/x"}, keys({u".", u"a", u"ab", u"b", u"f", u"f:Zone.Identifier:$DATA", u"f:keep:$DATA"})},
      {{u"a/"}, keys({u".", u"a", u"a\\x", u"ab", u"b", u"f", u"f:Zone.Identifier:$DATA", u"f:keep:$DATA"})},
      {{u"f:zone.identifier"}, keys({u".", u"a", u"a\\x", u"ab", u"b", u"f", u"f:keep:$DATA"})},
      {{u"f"}, keys({u".", u"a", u"a\\x", u"ab", u"b"})},
      {{u"b", u"ab", u"nothing"}, keys({u".", u"a", u"a\\x", u"f", u"f:Zone.Identifier:$DATA", u"f:keep:$DATA"})},
      {{u"."}, {}},
  };
  for (const Case& c : cases) {
    prepare_source();
    substitute_add_file(u"C:\\src\\a\\x", filled(1, 1));
    substitute_add_file(u"C:\\src\\ab", filled(1, 1));
    substitute_add_file(u"C:\\src\\b", filled(1, 1));
    substitute_add_file(u"C:\\src\\f", filled(1, 1));
    substitute_add_stream(u"C:\\src\\f", u"Zone.Identifier", filled(1, 1));
    substitute_add_stream(u"C:\\src\\f", u"keep", filled(1, 1));
    std::vector<std::u16string> args;
    for (const auto& e : c.excludes) {
      args.push_back(u"--exclude");
      args.push_back(e);
    }
    CheckRun run = run_check(args);
    EXPECT_EQ(c.recorded, record_order()) << u8(c.excludes.empty() ? u"" : c.excludes[0]);
    // Nothing excluded is even looked at.
    for (const auto& call : substitute.calls) {
      if (call.operation == "GetFileAttributesW" && !c.recorded.empty() && call.path.find(u"src") != std::u16string::npos) {
        EXPECT_NE(c.recorded.end(), std::find(c.recorded.begin(), c.recorded.end(), substitute_key(call.path)))
            << u8(call.path);
      }
    }
    if (c.recorded.empty()) {
      EXPECT_EQ(8u, run.summary["manifest_bytes"]);
    }
  }
}

TEST(WalkOrder, ExclusionMatchingFoldsOnlyAsciiLetters) {
  exclusion_list = ExclusionList{};
  char e1[] = "Büro/A";
  char e2[] = "x[1]";
  exclusion_list.prefixes[0] = e1;
  exclusion_list.prefixes[1] = e2;
  exclusion_list.count = 2;
  EXPECT_TRUE(is_excluded("büro/a"));
  EXPECT_TRUE(is_excluded("BüRO/a/deeper"));
  EXPECT_FALSE(is_excluded("BÜRO/a"));  // only A to Z fold
  EXPECT_FALSE(is_excluded("büro/ab"));
  EXPECT_TRUE(is_excluded("X[1]"));
  EXPECT_FALSE(is_excluded("x{1}"));
  EXPECT_FALSE(is_excluded("büro"));
  exclusion_list = ExclusionList{};
  EXPECT_FALSE(is_excluded("anything"));
}

// depth 0 is the root; a chain d/d/.../d of `levels` directories ends at depth `levels`.
std::u16string chain(int levels) {
  std::u16string path = SRC;
  for (int i = 0; i < levels; ++i) path += u"\\d";
  return path;
}

TEST(WalkOrder, A128LevelChainIsCapturedAndOneLevelMoreIsRefused) {
  prepare_source();
  substitute_add_directory(chain(128));
  substitute_add_file(chain(127) + u"\\file", filled(2, 1));
  CheckRun run = run_check();
  EXPECT_EQ(129u, run.summary["directories"]);
  EXPECT_EQ(1u, run.summary["files"]);

  for (bool as_file : {false, true}) {
    prepare_source();
    if (as_file) {
      substitute_add_file(chain(128) + u"\\deep", {});
    } else {
      substitute_add_directory(chain(129));
    }
    EXPECT_EXIT(check_failing(), testing::ExitedWithCode(1),
                "^vardokeep-agent: directory nesting exceeds 128 \\(Windows error=[0-9]+\\)\n$");
  }
}

TEST(WalkOrder, TheManifestInsideTheSourceIsSkippedButItsFoldersAreRecorded) {
  prepare_source();
  substitute.temp_directory = u"C:\\src\\Temp\\";
  substitute_add_directory(u"C:\\src\\Temp");
  substitute_add_file(u"C:\\src\\Temp\\other.tmp", filled(3, 1));
  CheckRun run = run_check();
  EXPECT_EQ(keys({u".", u"Temp", u"Temp\\other.tmp"}), record_order());
  EXPECT_EQ(2u, run.summary["directories"]);
  EXPECT_EQ(1u, run.summary["files"]);
  // The manifest was listed, compared and never opened by the walk.
  int manifest_opens = 0;
  for (const auto& call : substitute.calls) {
    if (call.operation == "CreateFileW" && call.path.find(u"vardo-agent-") != std::u16string::npos) ++manifest_opens;
  }
  EXPECT_EQ(1, manifest_opens);
}

TEST(WalkOrder, StreamSearchesThatCannotStartForLackOfStreamsAreNotErrors) {
  for (uint32_t code : {WIN_ERROR_HANDLE_EOF, WIN_ERROR_NOT_SUPPORTED, WIN_ERROR_INVALID_PARAMETER}) {
    prepare_source();
    substitute_add_file(u"C:\\src\\f", filled(3, 1));
    substitute_add_stream(u"C:\\src\\f", u"s", filled(3, 1));
    substitute.faults.push_back({"FindFirstStreamW", u"C:\\src\\f", code});
    CheckRun run = run_check();
    EXPECT_EQ(1u, run.summary["files"]);
    EXPECT_EQ(0u, run.summary["alternate_streams"]) << code;
    size_t refused = 0;  // the log records the error the search failed with
    for (const auto& call : substitute.calls) {
      refused += call.operation == "FindFirstStreamW" && call.path == u"C:\\src\\f" && call.result == code;
    }
    EXPECT_EQ(1u, refused) << code;
  }
}

// Listings come in NTFS's order, the ordinal order of the upper-cased UTF-16
// names ("_x" after "a", "[" after "Z"), and lookups fold letters beyond ASCII.
TEST(WalkOrder, ListingsComeInTheOrderOfUpperCasedNames) {
  prepare_source();
  for (const char16_t* name : {u"_x", u"~", u"a", u"[", u"B", u"\u00e9", u"z", u"\u044f"}) {
    substitute_add_file(SRC + u"\\" + name, {});
  }
  run_check();
  EXPECT_EQ(keys({u".", u"a", u"B", u"z", u"[", u"_x", u"~", u"\u00e9", u"\u044f"}), record_order());
  EXPECT_NE(nullptr, substitute_find(u"C:\\SRC\\\u00c9"));
  EXPECT_NE(nullptr, substitute_find(u"c:\\src\\\u042f"));
}

TEST(WalkOrder, NonAsciiNamesBecomeUtf8Paths) {
  prepare_source();
  substitute_add_file(u"C:\\src\\d\u00e9j\u00e0 vu\\\u65e5\u672c\U0001F600", filled(7, 1));
  substitute_add_stream(u"C:\\src\\d\u00e9j\u00e0 vu\\\u65e5\u672c\U0001F600", u"\u00fc", filled(1, 1));
  CheckRun run = run_check();
  std::string manifest(run.manifest.begin(), run.manifest.end());
  EXPECT_NE(std::string::npos, manifest.find("d\xc3\xa9j\xc3\xa0 vu/\xe6\x97\xa5\xe6\x9c\xac\xf0\x9f\x98\x80"));
  EXPECT_NE(std::string::npos, manifest.find("\xf0\x9f\x98\x80:\xc3\xbc"));
  EXPECT_EQ(1u, run.summary["alternate_streams"]);
}

}  // namespace

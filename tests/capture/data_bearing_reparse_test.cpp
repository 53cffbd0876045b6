// Reparse points whose filter presents an ordinary file's or folder's data are
// captured as what they present; every other reparse point stays a placeholder.
#include <gtest/gtest.h>

#include "agent/capture/reparse_tags.h"
#include "core/byte_order.h"
#include "tests/capture/capture_support.h"

namespace {

Bytes reparse_buffer(uint32_t tag) {
  Bytes b;
  put_u32(b, tag);
  put_u32(b, 4);  // data length 4, reserved 0
  put_u32(b, 0xABCDEF01);
  return b;
}

// A reparse point whose filter presents `content` (a folder when directory).
SubstituteEntry& filtered(const std::u16string& path, uint32_t tag, bool directory, const Bytes& content = {}) {
  SubstituteEntry& e = substitute_add_reparse_point(path, reparse_buffer(tag), directory);
  e.content = content;
  e.presents_content = true;
  return e;
}

TEST(DataBearingReparse, TagsThatBearDataAreTheFilterTagsAndEveryCloudSubtype) {
  for (uint32_t tag : {0xC0000004u, 0x80000006u, 0x80000007u, 0x80000008u, 0x80000013u, 0x80000017u, 0x80000015u,
                       0x8000001Eu, 0x90000027u, 0x9000001Cu, 0x80000021u, 0x9000001Au, 0x9000101Au, 0x9000F01Au}) {
    EXPECT_TRUE(reparse_tag_bears_data(tag)) << std::hex << tag;
  }
  for (uint32_t tag : {0xA0000003u, 0xA000000Cu, 0x8000001Bu, 0x80000023u, 0x9000101Bu, 0x9001001Au, 0u}) {
    EXPECT_FALSE(reparse_tag_bears_data(tag)) << std::hex << tag;
  }
}

// The attribute word each record carries, by path, as the core's reader sees it.
std::map<std::string, uint32_t> attribute_words(const Bytes& manifest) {
  std::map<std::string, uint32_t> words;
  ManifestSource source = manifest_memory_source(manifest.data(), manifest.size());
  ManifestReader reader;
  ManifestEntry entry;
  EXPECT_EQ(ManifestStatus::ok, manifest_reader_open(&reader, &source, ManifestSlotRule::zero));
  while (manifest_reader_next(&reader, &entry) == ManifestStatus::ok) words[entry.path] = entry.windows_attributes;
  return words;
}

struct OpenSeen {
  uint32_t access, share, flags;
  bool operator==(const OpenSeen&) const = default;
};
std::vector<OpenSeen> opens_of(const std::u16string& path) {
  std::vector<OpenSeen> seen;
  for (const auto& call : substitute.calls) {
    if (call.operation == "CreateFileW" && call.path == path) seen.push_back({call.access, call.share, call.flags});
  }
  return seen;
}

TEST(DataBearingReparse, FilesAreReadAsTheirFilterPresentsThem) {
  prepare_source();
  SubstituteEntry& wof = filtered(u"C:\\src\\wof", 0x80000017, false, filled(5000, 1));
  wof.creation_time = 21;
  wof.last_write_time = 116444736000000000ull;
  wof.file_index = 31;
  filtered(u"C:\\src\\dedup", 0x80000013, false, filled(4096, 2));
  filtered(u"C:\\src\\cloud", 0x9000601A, false, filled(1, 3)).attributes |=
      WIN_FILE_ATTRIBUTE_HIDDEN | WIN_FILE_ATTRIBUTE_SPARSE_FILE | WIN_FILE_ATTRIBUTE_COMPRESSED | WIN_FILE_ATTRIBUTE_TEMPORARY;
  substitute_add_stream(u"C:\\src\\cloud", u"meta", filled(10, 4)).attributes = WIN_FILE_ATTRIBUTE_SPARSE_FILE;
  CheckRun run = run_check();

  EXPECT_EQ(3u, run.summary["files"]);
  EXPECT_EQ(0u, run.summary["reparse_placeholders"]);
  EXPECT_EQ(1u, run.summary["alternate_streams"]);
  EXPECT_EQ(2u + 1u + 1u + 1u, run.summary["chunks_checked"]);
  // First opened as a reparse point to read its tag, then for its content.
  const std::vector<OpenSeen> expected = {{0x00020000, 1, 0x0A200000}, {0x80020000, 1, 0x0A000000}};
  EXPECT_EQ(expected, opens_of(u"C:\\src\\wof"));
  EXPECT_EQ(expected, opens_of(u"C:\\src\\dedup"));

  // The record: a regular file of the presented size, the attribute word as
  // the system reports it less the reparse-point bit, and no reparse attribute.
  Bytes record = golden_record({"wof", 33188, 5000, 0, 0, WIN_FILE_ATTRIBUTE_ARCHIVE, 21, 0x1234ABCD, 0, 31,
                                116444736000000000ull, {}, default_descriptor()});
  EXPECT_NE(run.manifest.end(), std::search(run.manifest.begin(), run.manifest.end(), record.begin(), record.end()));
  std::string text(run.manifest.begin(), run.manifest.end());
  EXPECT_EQ(std::string::npos, text.find("user.vardokeep.windows.reparse"));
  // A stream's word is its file's without the bits a data stream has only of
  // its own, with those it has.
  std::map<std::string, uint32_t> words = attribute_words(run.manifest);
  const uint32_t shown = WIN_FILE_ATTRIBUTE_ARCHIVE | WIN_FILE_ATTRIBUTE_HIDDEN;
  EXPECT_EQ(shown | WIN_FILE_ATTRIBUTE_SPARSE_FILE | WIN_FILE_ATTRIBUTE_COMPRESSED | WIN_FILE_ATTRIBUTE_TEMPORARY,
            words["cloud"]);
  EXPECT_EQ(shown | WIN_FILE_ATTRIBUTE_SPARSE_FILE, words["cloud:meta"]);
}

TEST(DataBearingReparse, FoldersAreDescendedWithTheirStreamsAndChangeChecked) {
  prepare_source();
  filtered(u"C:\\src\\OneDrive", 0x9000701A, true);
  substitute_add_file(u"C:\\src\\OneDrive\\doc.txt", filled(9000, 1));
  filtered(u"C:\\src\\OneDrive\\online-only", 0x9000101A, false, filled(10, 2));
  substitute_add_stream(u"C:\\src\\OneDrive", u"sync", filled(3, 3));
  CheckRun run = run_check();
  EXPECT_EQ(2u, run.summary["directories"]);
  EXPECT_EQ(2u, run.summary["files"]);
  EXPECT_EQ(1u, run.summary["alternate_streams"]);
  EXPECT_EQ(0u, run.summary["reparse_placeholders"]);
  EXPECT_EQ(3u + 1u + 1u, run.summary["chunks_checked"]);
  EXPECT_EQ((std::vector<std::u16string>{SRC, u"C:\\src\\OneDrive", u"C:\\src\\OneDrive\\doc.txt",
                                         u"C:\\src\\OneDrive\\online-only", u"C:\\src\\OneDrive:sync:$DATA"}),
            record_order());
  EXPECT_EQ((std::vector<OpenSeen>{{0x00020000, 7, 0x02200000}}), opens_of(u"C:\\src\\OneDrive"));
  std::string text(run.manifest.begin(), run.manifest.end());
  EXPECT_EQ(std::string::npos, text.find("user.vardokeep.windows.reparse"));
  std::map<std::string, uint32_t> words = attribute_words(run.manifest);
  EXPECT_EQ(WIN_FILE_ATTRIBUTE_DIRECTORY, words["OneDrive"]);
  EXPECT_EQ(WIN_FILE_ATTRIBUTE_ARCHIVE, words["OneDrive/online-only"]);
  EXPECT_EQ(WIN_FILE_ATTRIBUTE_DIRECTORY, words["OneDrive:sync"])
      << "a directory's stream keeps DIRECTORY (believed) and loses the reparse bit";

  // A folder that gains an entry while its subtree is walked fails the run.
  prepare_source();
  filtered(u"C:\\src\\OneDrive", 0x9000701A, true);
  substitute_add_file(u"C:\\src\\OneDrive\\doc.txt", filled(9000, 1));
  substitute.hooks.push_back(
      {"ReadFile", u"C:\\src\\OneDrive\\doc.txt", 1, [] { substitute_change_add_file(u"C:\\src\\OneDrive\\new", {}); }});
  EXPECT_EXIT(check_failing(), testing::ExitedWithCode(1),
              "^vardokeep-agent: source changed during backup: OneDrive \\(Windows error=");
}

TEST(DataBearingReparse, ContentThatCannotBeHadFailsLoudly) {
  struct Case {
    const char* name;
    SubstituteFault fault;
    const char* line;
  };
  // 362: the cloud file provider is not running.
  const Case cases[] = {
      {"open for content", {"CreateFileW", u"C:\\src\\cloud", 362, 2}, "open \\(locked or denied\\): cloud \\(Windows error=362\\)"},
      {"recall fails", {"ReadFile", u"C:\\src\\cloud", 362}, "read file: cloud \\(Windows error=362\\)"},
      {"information after reopening", {"GetFileInformationByHandle", u"C:\\src\\cloud", 1117, 2},
       "file information: cloud \\(Windows error=1117\\)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    prepare_source();
    filtered(u"C:\\src\\cloud", 0x9000001A, false, filled(100, 1));
    substitute.faults.push_back(c.fault);
    EXPECT_EXIT(check_failing(), testing::ExitedWithCode(1), std::string("^vardokeep-agent: ") + c.line);
  }
  // A file whose filter is not there at all cannot be opened for content either.
  prepare_source();
  filtered(u"C:\\src\\cloud", 0x9000001A, false, filled(100, 1)).presents_content = false;
  EXPECT_EXIT(check_failing(), testing::ExitedWithCode(1), "^vardokeep-agent: open \\(locked or denied\\): cloud");
}

bool read_from(const std::u16string& path) {
  for (const auto& call : substitute.calls) {
    if (call.operation == "ReadFile" && call.path == path) return true;
  }
  return false;
}

// Content kept only online is never asked for, whatever the tag: a placeholder
// keeps its reparse data, a folder not yet brought in is not listed. The
// system disguises placeholders from this program until it asks to see them.
TEST(DataBearingReparse, ContentKeptOnlyOnlineIsRecordedAsAPlaceholderAndNeverRead) {
  prepare_source();
  substitute.disguises_placeholders_by_default = true;
  SubstituteEntry& cloud = filtered(u"C:\\src\\cloud", 0x9000001A, false, filled(100, 1));
  cloud.attributes |= WIN_FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS;
  cloud.creation_time = 21;
  cloud.last_write_time = 116444736000000000ull;
  cloud.file_index = 31;
  filtered(u"C:\\src\\hsm", 0xC0000004, false, filled(100, 2)).attributes |= WIN_FILE_ATTRIBUTE_OFFLINE;
  filtered(u"C:\\src\\wof", 0x80000017, false, filled(100, 3)).attributes |= WIN_FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS;
  // Listed with RECALL_ON_OPEN: recorded, not descended.
  filtered(u"C:\\src\\remote", 0x9000701A, true).attributes |= WIN_FILE_ATTRIBUTE_RECALL_ON_OPEN;
  substitute_add_file(u"C:\\src\\remote\\never", filled(10, 4));
  // Partly local: descended, each child judged on its own.
  filtered(u"C:\\src\\partly", 0x9000701A, true).attributes |= WIN_FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS;
  filtered(u"C:\\src\\partly\\here", 0x9000001A, false, filled(10, 5));
  filtered(u"C:\\src\\partly\\away", 0x9000001A, false, filled(10, 6)).attributes |=
      WIN_FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS;
  CheckRun run = run_check();

  EXPECT_EQ(5u, run.summary["reparse_placeholders"]);
  EXPECT_EQ(1u, run.summary["files"]);
  EXPECT_EQ(2u, run.summary["directories"]);
  EXPECT_EQ(1u, run.summary["chunks_checked"]);
  const std::vector<OpenSeen> placeholder = {{0x00020000, 1, 0x0A200000}};
  for (const char16_t* path : {u"C:\\src\\cloud", u"C:\\src\\hsm", u"C:\\src\\wof", u"C:\\src\\partly\\away"}) {
    SCOPED_TRACE(u8(path));
    EXPECT_EQ(placeholder, opens_of(path));
    EXPECT_FALSE(read_from(path));
  }
  EXPECT_EQ((std::vector<OpenSeen>{{0x00020000, 7, 0x02200000}}), opens_of(u"C:\\src\\remote"));
  for (const auto& call : substitute.calls) {
    EXPECT_NE(u"C:\\src\\remote", call.operation == "FindFirstFileW" ? call.path : u"");
  }
  EXPECT_TRUE(read_from(u"C:\\src\\partly\\here"));

  // The record: size 0, the attributes the handle reports, the reparse data.
  Bytes record = golden_record({"cloud", 33188, 0, 0, 0,
                                WIN_FILE_ATTRIBUTE_ARCHIVE | WIN_FILE_ATTRIBUTE_REPARSE_POINT |
                                    WIN_FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS,
                                21, 0x1234ABCD, 0, 31, 116444736000000000ull, reparse_buffer(0x9000001A),
                                default_descriptor()});
  EXPECT_NE(run.manifest.end(), std::search(run.manifest.begin(), run.manifest.end(), record.begin(), record.end()));
  // The listing's bit is not recorded: the folder's attributes are its handle's.
  Bytes remote_attributes;
  put_attribute(remote_attributes, "user.vardokeep.windows.attributes", {0x10, 0x04, 0, 0});
  EXPECT_NE(run.manifest.end(), std::search(run.manifest.begin(), run.manifest.end(), remote_attributes.begin(),
                                            remote_attributes.end()));
}

TEST(DataBearingReparse, ContentKeptOnlyOnlineWithoutAPlaceholderFailsTheRun) {
  struct Case {
    const char* name;
    uint32_t attributes;
  };
  const Case cases[] = {
      {"recall on data access", WIN_FILE_ATTRIBUTE_ARCHIVE | WIN_FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS},
      {"offline", WIN_FILE_ATTRIBUTE_ARCHIVE | WIN_FILE_ATTRIBUTE_OFFLINE},
      {"folder listed with recall on open", WIN_FILE_ATTRIBUTE_DIRECTORY | WIN_FILE_ATTRIBUTE_RECALL_ON_OPEN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    prepare_source();
    substitute_add_file(u"C:\\src\\away", filled(10, 1)).attributes = c.attributes;
    EXPECT_EXIT(check_failing(), testing::ExitedWithCode(1),
                "^vardokeep-agent: content is online only, not on this machine: away \\(Windows error=");
  }
  // Data that leaves between the two looks is not read either.
  prepare_source();
  substitute_add_file(u"C:\\src\\leaving", filled(10, 1));
  substitute.hooks.push_back({"CreateFileW", u"C:\\src\\leaving", 1, [] {
                                substitute_find(u"C:\\src\\leaving")->attributes |= WIN_FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS;
                              }});
  EXPECT_EXIT(check_failing(), testing::ExitedWithCode(1),
              "^vardokeep-agent: source changed during backup: leaving \\(Windows error=");
}

TEST(DataBearingReparse, OtherReparsePointsStayPlaceholders) {
  prepare_source();
  substitute_add_reparse_point(u"C:\\src\\alias", reparse_buffer(0x8000001B), false);  // app execution alias
  substitute_add_reparse_point(u"C:\\src\\junction", reparse_buffer(0xA0000003), true);
  substitute_add_file(u"C:\\src\\junction\\inside", filled(10, 1));
  substitute_add_reparse_point(u"C:\\src\\link", reparse_buffer(0xA000000C), false);
  CheckRun run = run_check();
  EXPECT_EQ(3u, run.summary["reparse_placeholders"]);
  EXPECT_EQ(0u, run.summary["files"]);
  EXPECT_EQ(1u, run.summary["directories"]);
  EXPECT_EQ(0u, run.summary["chunks_checked"]);
  EXPECT_EQ(1u, opens_of(u"C:\\src\\alias").size());
  std::string text(run.manifest.begin(), run.manifest.end());
  size_t reparse_records = 0;
  for (size_t at = text.find("user.vardokeep.windows.reparse"); at != std::string::npos;
       at = text.find("user.vardokeep.windows.reparse", at + 1)) {
    ++reparse_records;
  }
  EXPECT_EQ(3u, reparse_records);
  std::map<std::string, uint32_t> words = attribute_words(run.manifest);
  EXPECT_EQ(WIN_FILE_ATTRIBUTE_ARCHIVE | WIN_FILE_ATTRIBUTE_REPARSE_POINT, words["alias"]);
  EXPECT_EQ(WIN_FILE_ATTRIBUTE_DIRECTORY | WIN_FILE_ATTRIBUTE_REPARSE_POINT, words["junction"]);
}

TEST(DataBearingReparse, TheRootIsRefusedWhateverItsTag) {
  prepare_source();
  substitute.hooks.push_back({"GetFileAttributesW", SRC, 2, [] {
                                SubstituteEntry* root = substitute_find(SRC);
                                root->attributes |= WIN_FILE_ATTRIBUTE_REPARSE_POINT;
                                root->reparse_data = reparse_buffer(0x9000701A);
                                root->presents_content = true;
                              }});
  EXPECT_EXIT(check_failing(), testing::ExitedWithCode(1),
              "^vardokeep-agent: source root cannot be a reparse point \\(Windows error=");
}

}  // namespace

// Every way the walk refuses a tree, with its exact line: the message, the
// relative path where it names one, and the Windows error code that caused it.
// Changes made while an entry is captured are among them.
#include <gtest/gtest.h>

#include <functional>

#include "tests/capture/capture_support.h"

namespace {

struct Refusal {
  const char* name;
  std::function<void()> arrange;
  const char* line;  // regex of the message and suffix
};

void file_f() { substitute_add_file(u"C:\\src\\f", filled(5000, 1)); }
void file_f_with_stream() {
  file_f();
  substitute_add_stream(u"C:\\src\\f", u"s", filled(300, 2));
}
void directory_d() {
  substitute_add_file(u"C:\\src\\d\\a", filled(10, 1));
  substitute_add_file(u"C:\\src\\d\\b", filled(10, 1));
}
void hook(const char* operation, const std::u16string& path, uint32_t on_call, std::function<void()> action) {
  substitute.hooks.push_back({operation, path, on_call, std::move(action)});
}
void fail(const char* operation, const std::u16string& path, uint32_t code, uint32_t call = 0) {
  substitute.faults.push_back({operation, path, code, call});
}
// Nested directories whose relative path reaches `bytes` bytes.
std::u16string long_directory(size_t bytes) {
  std::u16string path = SRC;
  size_t length = 0;
  while (length < bytes) {
    size_t name = std::min<size_t>(200, bytes - length - (length == 0 ? 0 : 1));
    path += u"\\" + std::u16string(name, u'n');
    length += name + (length == 0 ? 0 : 1);
  }
  substitute_add_directory(path);
  return path;
}

TEST(WalkMessages, EachRefusalEndsTheRunWithItsLine) {
  const std::vector<Refusal> cases = {
      {"vanished before stat", [] { file_f(); hook("GetFileAttributesW", u"C:\\src\\f", 1, [] { substitute_change_remove(u"C:\\src\\f"); }); },
       "stat: f \\(Windows error=2\\)"},
      {"encrypted file", [] { directory_d(); substitute_find(u"C:\\src\\d\\b")->attributes |= WIN_FILE_ATTRIBUTE_ENCRYPTED; },
       "EFS file requires a dedicated recovery policy: d/b \\(Windows error="},
      {"encrypted directory", [] { directory_d(); substitute_find(u"C:\\src\\d")->attributes |= WIN_FILE_ATTRIBUTE_ENCRYPTED; },
       "EFS file requires a dedicated recovery policy: d \\(Windows error="},
      {"held open for writing", [] { file_f(); substitute_find(u"C:\\src\\f")->held_for_writing = true; },
       "open \\(locked or denied\\): f \\(Windows error=32\\)"},
      // The walk shares no deletion, so a handle holding DELETE refuses it.
      {"held open for deletion",
       [] { file_f(); platform_create_file(u"C:\\src\\f", 0x10000, 3, WIN_OPEN_EXISTING, 0); },
       "open \\(locked or denied\\): f \\(Windows error=32\\)"},
      {"access denied", [] { file_f(); substitute_find(u"C:\\src\\f")->denied_access = WIN_GENERIC_READ; },
       "open \\(locked or denied\\): f \\(Windows error=5\\)"},
      {"handle information", [] { file_f(); fail("GetFileInformationByHandle", u"C:\\src\\f", 1117); },
       "file information: f \\(Windows error=1117\\)"},
      {"root turned into a reparse point",
       [] {
         hook("GetFileAttributesW", SRC, 2, [] {
           substitute_find(SRC)->attributes |= WIN_FILE_ATTRIBUTE_REPARSE_POINT;
           substitute_find(SRC)->reparse_data = {3, 0, 0, 0xA0, 0, 0, 0, 0};
         });
       },
       "source root cannot be a reparse point \\(Windows error="},
      {"reparse data unreadable", [] { substitute_add_reparse_point(u"C:\\src\\l", {}, false); },
       "read reparse metadata: l \\(Windows error=4390\\)"},
      {"reparse data under 8 bytes", [] { substitute_add_reparse_point(u"C:\\src\\l", {0x0C, 0, 0, 0xA0}, false); },
       "read reparse metadata: l \\(Windows error="},
      {"directory search cannot start", [] { directory_d(); fail("FindFirstFileW", u"C:\\src\\d", 5); },
       "enumerate directory: d \\(Windows error=5\\)"},
      // The walk's own open shares deletion; its search, listing, does not.
      {"directory held open for deletion",
       [] { directory_d(); platform_create_file(u"C:\\src\\d", WIN_DELETE, 7, WIN_OPEN_EXISTING, WIN_FILE_FLAG_BACKUP_SEMANTICS); },
       "enumerate directory: d \\(Windows error=32\\)"},
      {"child path over 4095 bytes",
       [] { substitute_add_file(long_directory(4000) + u"\\" + std::u16string(95, u'x'), {}); },
       "path too long \\(Windows error="},
      {"directory search ends with an error", [] { directory_d(); fail("FindNextFileW", u"C:\\src\\d", 59, 3); },
       "enumeration interrupted: d \\(Windows error=59\\)"},
      {"root search ends with an error", [] { directory_d(); fail("FindNextFileW", SRC, 59, 2); },
       "enumeration interrupted: \\. \\(Windows error=59\\)"},
      {"file size", [] { file_f(); fail("GetFileSizeEx", u"C:\\src\\f", 1117); },
       "file size: f \\(Windows error=1117\\)"},
      {"stream search cannot start", [] { file_f_with_stream(); fail("FindFirstStreamW", u"C:\\src\\f", 5); },
       "enumerate alternate streams: f \\(Windows error=5\\)"},
      {"stream of another type",
       [] { file_f(); substitute_find(u"C:\\src\\f")->streams.push_back({u":s:$REPARSE_POINT", {}}); },
       "unsupported NTFS stream \\(Windows error="},
      {"stream path over 4095 bytes",
       [] {
         std::u16string dir = long_directory(4000);
         substitute_add_file(dir + u"\\f", {});
         substitute_add_stream(dir + u"\\f", std::u16string(93, u's'), {});
       },
       "stream path too long \\(Windows error="},
      {"stream cannot be opened", [] { file_f_with_stream(); fail("CreateFileW", u"C:\\src\\f:s:$DATA", 32); },
       "open alternate stream: f:s \\(Windows error=32\\)"},
      {"stream information",
       [] { file_f_with_stream(); fail("GetFileInformationByHandle", u"C:\\src\\f:s:$DATA", 1117); },
       "alternate stream changed: f:s \\(Windows error=1117\\)"},
      {"stream size changed after the enumeration",
       [] {
         file_f_with_stream();
         hook("CreateFileW", u"C:\\src\\f:s:$DATA", 1,
              [] { substitute_change_content(u"C:\\src\\f:s:$DATA", filled(301, 2)); });
       },
       "alternate stream changed: f:s \\(Windows error="},
      {"stream search ends with an error", [] { file_f_with_stream(); fail("FindNextStreamW", u"C:\\src\\f", 1117); },
       "stream enumeration interrupted \\(Windows error=1117\\)"},
      {"last-write time moved while read",
       [] { file_f(); hook("ReadFile", u"C:\\src\\f", 2, [] { substitute_find(u"C:\\src\\f")->last_write_time++; }); },
       "source changed during backup: f \\(Windows error="},
      {"directory gained an entry during its subtree",
       [] {
         directory_d();
         hook("CreateFileW", u"C:\\src\\d\\a", 1, [] { substitute_change_add_file(u"C:\\src\\d\\new", {}); });
       },
       "source changed during backup: d \\(Windows error="},
      {"directory lost an entry during its subtree",
       [] {
         directory_d();
         hook("ReadFile", u"C:\\src\\d\\a", 1, [] { substitute_change_remove(u"C:\\src\\d\\b"); });
       },
       "source changed during backup: d \\(Windows error="},
      {"file replaced by a directory between stat and open",
       [] {
         file_f();
         hook("CreateFileW", u"C:\\src\\f", 1, [] { substitute_find(u"C:\\src\\f")->attributes = WIN_FILE_ATTRIBUTE_DIRECTORY; });
       },
       "source changed during backup: f \\(Windows error="},
      {"file turned into a reparse point between stat and open",
       [] {
         file_f();
         hook("CreateFileW", u"C:\\src\\f", 1, [] { substitute_find(u"C:\\src\\f")->attributes |= WIN_FILE_ATTRIBUTE_REPARSE_POINT; });
       },
       "source changed during backup: f \\(Windows error="},
      {"name with an unpaired surrogate", [] { substitute_add_file(u"C:\\src\\bad\xD800name", {}); },
       "invalid Unicode name \\(Windows error=1113\\)"},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    prepare_source();
    c.arrange();
    EXPECT_EXIT(check_failing(), testing::ExitedWithCode(1), std::string("^vardokeep-agent: ") + c.line + ".*\n$");
  }
}

TEST(WalkMessages, ContentThatChangesWhileItIsReadEndsTheRun) {
  const std::vector<Refusal> cases = {
      {"file grew", [] { file_f(); hook("ReadFile", u"C:\\src\\f", 2, [] { substitute_change_content(u"C:\\src\\f", filled(5001, 1)); }); },
       "file changed during backup: f \\(Windows error="},
      {"file grew by a whole chunk at its end", [] { file_f(); hook("ReadFile", u"C:\\src\\f", 3, [] { substitute_change_content(u"C:\\src\\f", filled(9000, 1)); }); },
       "file changed during backup: f \\(Windows error="},
      {"file shrank", [] { file_f(); hook("ReadFile", u"C:\\src\\f", 1, [] { substitute_change_content(u"C:\\src\\f", filled(4000, 1)); }); },
       "read file: f \\(Windows error="},
      {"read failed", [] { file_f(); fail("ReadFile", u"C:\\src\\f", 23, 2); }, "read file: f \\(Windows error=23\\)"},
      {"end-of-file probe failed", [] { file_f(); fail("ReadFile", u"C:\\src\\f", 23, 3); },
       "file changed during backup: f \\(Windows error=23\\)"},
      {"stream grew", [] { file_f_with_stream(); hook("ReadFile", u"C:\\src\\f:s:$DATA", 1, [] { substitute_change_content(u"C:\\src\\f:s:$DATA", filled(400, 1)); }); },
       "file changed during backup: f:s \\(Windows error="},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    prepare_source();
    c.arrange();
    EXPECT_EXIT(check_failing(), testing::ExitedWithCode(1), std::string("^vardokeep-agent: ") + c.line + ".*\n$");
  }
}

}  // namespace

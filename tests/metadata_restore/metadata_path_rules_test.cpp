// Which record paths may name a target below the restore root.
#include <gtest/gtest.h>

#include <string>

#include "agent/metadata_restore/metadata_path_rules.h"

namespace {
MetadataPathCheck check(const std::string& path) {
  return check_metadata_path(path.c_str(), static_cast<uint32_t>(path.size()));
}
}  // namespace

TEST(MetadataPathRules, AcceptsOnlyPlainComponentsBelowTheRoot) {
  using P = MetadataPathCheck;
  const struct {
    std::string path;
    MetadataPathCheck expected;
  } cases[] = {
      {".", P::ok},
      {"a", P::ok},
      {"a/b/c.txt", P::ok},
      {"a/", P::ok},  // a trailing "/" after a valid component
      {".hidden", P::ok},
      {" leading space", P::ok},
      {"NUL", P::ok},  // harmless once targets are in the long form
      {"d\xC3\xA9j\xC3\xA0/vu", P::ok},
      {"/a", P::unsafe_path},
      {"/", P::unsafe_path},
      {"a\\b", P::unsafe_path},
      {"a:stream", P::unsafe_path},
      {"a/b:$DATA", P::unsafe_path},
      {"C:", P::unsafe_path},
      {std::string("a\0b", 3), P::unsafe_path},
      {"a/../b", P::unsafe_component},
      {"..", P::unsafe_component},
      {"./a", P::unsafe_component},
      {"a/.", P::unsafe_component},
      {"a//b", P::unsafe_component},
      {"a/b./c", P::unsafe_component},
      {"a/name ", P::unsafe_component},
      {"a/name...", P::unsafe_component},
      {"a//", P::unsafe_component},
      {"", P::unsafe_component},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, check(c.path)) << "'" << c.path << "'";
}

TEST(MetadataPathRules, ReadsOnlyTheGivenBytesAndTheTerminator) {
  // A 4095-byte path in a buffer of exactly 4096 bytes (ASan guards the end).
  std::string path(4095, 'x');
  for (size_t i = 100; i < path.size(); i += 100) path[i] = '/';
  auto* buffer = new char[4096];
  memcpy(buffer, path.c_str(), 4096);
  EXPECT_EQ(MetadataPathCheck::ok, check_metadata_path(buffer, 4095));
  buffer[4094] = '.';
  EXPECT_EQ(MetadataPathCheck::unsafe_component, check_metadata_path(buffer, 4095));
  delete[] buffer;
}

#include "tests/capture/scenarios/capture_scenarios.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>

#include "agent/run_control/agent_main.h"
#include "core/manifest_reader.h"

OpenMode expected_open_mode(EntryKind kind) {
  switch (kind) {
    case EntryKind::directory:
    case EntryKind::reparse_directory:
      return {0x00020000, 7, 0x02200000};
    case EntryKind::reparse_file:
      return {0x00020000, 1, 0x0A200000};
    case EntryKind::file:
    case EntryKind::stream:
      break;
  }
  return {0x80020000, 1, 0x0A200000};
}

int run_agent_with(const std::vector<std::u16string>& args) {
  std::vector<std::u16string> storage = {u"vardokeep-agent.exe"};
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<wchar16*> argv;
  for (auto& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);
  return agent_main(static_cast<int>(storage.size()), argv.data());
}

namespace {

const std::vector<uint8_t> junction = {0x03, 0, 0, 0xA0, 12, 0, 0, 0, 0, 0, 2, 0, 4, 0, 0, 0, 'x', 0, 0, 0};
const std::vector<uint8_t> symlink = {0x0C, 0, 0, 0xA0, 16, 0, 0, 0, 0, 0, 2, 0, 2, 0, 2, 0, 1, 0, 0, 0, 'x', 0, 'x', 0};

std::string chain(int levels) {
  std::string path;
  for (int i = 0; i < levels; ++i) path += i == 0 ? "d" : "/d";
  return path;
}

std::vector<ExpectedEntry> chain_entries(int levels) {
  std::vector<ExpectedEntry> entries = {{".", EntryKind::directory}};
  for (int i = 1; i <= levels; ++i) entries.push_back({chain(i), EntryKind::directory});
  return entries;
}

std::vector<CaptureScenario> build_scenarios() {
  using K = EntryKind;
  std::vector<CaptureScenario> s;
  s.push_back({"empty_source", false, [](ScenarioVolume&) {}, {}, {{".", K::directory}}, 0, 1, 0, 0, 0, ""});
  s.push_back({"nested_directories_and_sizes_around_a_chunk", false,
               [](ScenarioVolume& v) {
                 v.directory("a/b/c");
                 v.file("a/empty", "");
                 v.file("a/one", "1");
                 v.file("a/b/s4095", std::string(4095, 'x'));
                 v.file("a/b/s4096", std::string(4096, 'y'));
                 v.file("a/b/c/s4097", std::string(4097, 'z'));
                 v.file("s8192", std::string(8192, 'w'));
                 v.file("caf\xc3\xa9/\xe6\x97\xa5\xe6\x9c\xac.txt", "hello");
               },
               {},
               {{".", K::directory}, {"a", K::directory}, {"a/b", K::directory}, {"a/b/c", K::directory},
                {"a/empty", K::file}, {"a/one", K::file}, {"a/b/s4095", K::file}, {"a/b/s4096", K::file},
                {"a/b/c/s4097", K::file}, {"s8192", K::file}, {"caf\xc3\xa9", K::directory},
                {"caf\xc3\xa9/\xe6\x97\xa5\xe6\x9c\xac.txt", K::file}},
               7, 5, 0, 0, 8, ""});
  s.push_back({"exclusions_cover_whole_components_without_case", false,
               [](ScenarioVolume& v) {
                 v.file("a/x", "1");
                 v.file("ab", "1");
                 v.file("B/y", "1");
                 v.file("c", "1");
                 v.file("ABC", "1");
               },
               {u"--exclude", u"a", u"--exclude", u"b", u"--exclude", u"c/"},
               {{".", K::directory}, {"ab", K::file}, {"c", K::file}, {"ABC", K::file}},
               3, 1, 0, 0, 3, ""});
  s.push_back({"a_file_held_open_for_writing_stops_the_run", false,
               [](ScenarioVolume& v) {
                 v.file("busy", "content");
                 v.hold_for_writing("busy");
               },
               {}, {}, 0, 0, 0, 0, 0, "open \\(locked or denied\\): busy \\(Windows error=32\\)"});
  s.push_back({"nesting_of_128_levels", false, [](ScenarioVolume& v) { v.directory(chain(128)); }, {},
               chain_entries(128), 0, 129, 0, 0, 0, ""});
  s.push_back({"nesting_of_129_levels", false, [](ScenarioVolume& v) { v.file(chain(128) + "/f", ""); }, {}, {},
               0, 0, 0, 0, 0, "directory nesting exceeds 128 \\(Windows error="});
  s.push_back({"named_streams_of_files_directories_and_the_root", true,
               [](ScenarioVolume& v) {
                 v.file("f", "abc");
                 v.stream("f", "s1", std::string(10, 's'));
                 v.stream("f", "s2", "");
                 v.file("d/x", "x");
                 v.stream("d", "ds", std::string(5000, 'd'));
                 v.stream(".", "r", "r");
               },
               {},
               {{".", K::directory}, {"f", K::file}, {"f:s1", K::stream}, {"f:s2", K::stream},
                {"d", K::directory}, {"d/x", K::file}, {"d:ds", K::stream}, {".:r", K::stream}},
               2, 2, 4, 0, 6, ""});
  s.push_back({"reparse_points_are_recorded_not_followed", true,
               [](ScenarioVolume& v) {
                 v.reparse_point("junction", junction, true);
                 v.reparse_point("dirlink", symlink, true);
                 v.reparse_point("filelink", symlink, false);
                 v.file("plain", "p");
               },
               {},
               {{".", K::directory}, {"junction", K::reparse_directory}, {"dirlink", K::reparse_directory},
                {"filelink", K::reparse_file}, {"plain", K::file}},
               1, 1, 0, 3, 1, ""});
  s.push_back({"an_encrypted_file_stops_the_run", true,
               [](ScenarioVolume& v) {
                 v.file("ok", "1");
                 v.file("sub/secret", "2");
                 v.encrypt("sub/secret");
               },
               {}, {}, 0, 0, 0, 0, 0, "EFS file requires a dedicated recovery policy: sub/secret \\(Windows error="});
  return s;
}

std::string parent_of(const std::string& path) {
  size_t colon = path.find(':');
  if (colon != std::string::npos) return path.substr(0, colon);  // a stream's owner
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool below(const std::string& path, const std::string& directory) {
  if (directory == ".") return path != ".";
  return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
         (path[directory.size()] == '/' || path[directory.size()] == ':');
}

// Depth first: each entry after its parent, with nothing but the parent's
// other descendants in between; a directory's streams after its whole subtree.
void expect_depth_first(const std::vector<ObservedOpen>& opens) {
  std::map<std::string, size_t> index;
  for (size_t i = 0; i < opens.size(); ++i) index[opens[i].path] = i;
  for (size_t i = 0; i < opens.size(); ++i) {
    const std::string& path = opens[i].path;
    if (path == ".") {
      EXPECT_EQ(0u, i);
      continue;
    }
    auto parent = index.find(parent_of(path));
    ASSERT_NE(index.end(), parent) << path;
    ASSERT_LT(parent->second, i) << path;
    for (size_t j = parent->second + 1; j < i; ++j) {
      EXPECT_TRUE(below(opens[j].path, parent->first)) << opens[j].path << " between " << parent->first << " and "
                                                       << path;
    }
    bool is_stream = path.find(':') != std::string::npos;
    if (is_stream) {
      for (size_t j = i + 1; j < opens.size(); ++j) {
        EXPECT_FALSE(below(opens[j].path, parent->first) && opens[j].path.find(':') == std::string::npos)
            << opens[j].path << " after the stream " << path;
      }
    }
  }
}

const char* kind_name(EntryKind kind) {
  switch (kind) {
    case EntryKind::directory: return "directory";
    case EntryKind::file: return "file";
    case EntryKind::reparse_file:
    case EntryKind::reparse_directory: return "reparse";
    case EntryKind::stream: return "stream";
  }
  return "?";
}

// The manifest as the core's reader sees it: valid, with zero slots, and one
// record per expected entry, in the order the entries were opened.
void expect_manifest(const std::string& bytes, const std::vector<ExpectedEntry>& expected,
                     const std::vector<ObservedOpen>& opens) {
  ManifestSource source = manifest_memory_source(bytes.data(), bytes.size());
  ManifestReader reader;
  ASSERT_EQ(ManifestStatus::ok, manifest_reader_open(&reader, &source, ManifestSlotRule::zero));
  auto entry = std::make_unique<ManifestEntry>();
  std::vector<std::string> recorded, order;
  ManifestStatus status;
  while ((status = manifest_reader_next(&reader, entry.get())) == ManifestStatus::ok) {
    const char* kind = entry->is_reparse ? "reparse" : entry->is_stream ? "stream" : entry->is_directory ? "directory" : "file";
    recorded.push_back(std::string(entry->path) + " " + kind);
    order.push_back(entry->path);
  }
  ASSERT_EQ(ManifestStatus::end, status) << manifest_error_text(&reader);
  std::vector<std::string> wanted;
  for (const ExpectedEntry& e : expected) wanted.push_back(e.path + " " + kind_name(e.kind));
  std::sort(recorded.begin(), recorded.end());
  std::sort(wanted.begin(), wanted.end());
  EXPECT_EQ(wanted, recorded);
  std::vector<std::string> opened;
  for (const ObservedOpen& o : opens) opened.push_back(o.path);
  EXPECT_EQ(opened, order);
}

std::map<std::string, uint64_t> parse_summary(const std::string& err) {
  std::map<std::string, uint64_t> summary;
  size_t at = 0;
  while (at < err.size()) {
    size_t end = err.find('\n', at);
    std::string line = err.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t equals = line.find('=');
    if (equals != std::string::npos && line.compare(0, equals, "agent_version") != 0) {
      summary[line.substr(0, equals)] = std::stoull(line.substr(equals + 1));
    }
    at = end == std::string::npos ? err.size() : end + 1;
  }
  return summary;
}

}  // namespace

const std::vector<CaptureScenario>& capture_scenarios() {
  static const std::vector<CaptureScenario> scenarios = build_scenarios();
  return scenarios;
}

void check_scenario(const CaptureScenario& scenario, ScenarioVolume& volume) {
  volume.reset(scenario.name);
  scenario.build(volume);
  std::vector<std::u16string> args = {u"check", u"--source", volume.source()};
  args.insert(args.end(), scenario.options.begin(), scenario.options.end());
  volume.observe();
  if (!scenario.failure.empty()) {
    EXPECT_EXIT(run_agent_with(args), testing::ExitedWithCode(1), "vardokeep-agent: " + scenario.failure);
    return;
  }
  testing::internal::CaptureStderr();
  int code = run_agent_with(args);
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(0, code) << err;
  std::map<std::string, uint64_t> summary = parse_summary(err);
  EXPECT_EQ(scenario.files, summary["files"]);
  EXPECT_EQ(scenario.directories, summary["directories"]);
  EXPECT_EQ(scenario.alternate_streams, summary["alternate_streams"]);
  EXPECT_EQ(scenario.reparse_placeholders, summary["reparse_placeholders"]);
  EXPECT_EQ(scenario.chunks_checked, summary["chunks_checked"]);
  EXPECT_EQ(0u, summary["chunk_bytes_sent"]);

  std::vector<ObservedOpen> opens = volume.opens();
  // Every entry opened once, with exactly the mode of its kind; nothing else.
  std::vector<std::string> expected, observed;
  for (const ExpectedEntry& e : scenario.entries) {
    OpenMode m = expected_open_mode(e.kind);
    expected.push_back(e.path + " " + std::to_string(m.access) + "/" + std::to_string(m.share) + "/" +
                       std::to_string(m.flags));
  }
  for (const ObservedOpen& o : opens) {
    observed.push_back(o.path + " " + std::to_string(o.mode.access) + "/" + std::to_string(o.mode.share) + "/" +
                       std::to_string(o.mode.flags));
  }
  std::sort(expected.begin(), expected.end());
  std::sort(observed.begin(), observed.end());
  EXPECT_EQ(expected, observed);
  expect_depth_first(opens);

  std::string manifest = volume.manifest();
  EXPECT_EQ(manifest.size(), summary["manifest_bytes"]);
  expect_manifest(manifest, scenario.entries, opens);
}

// Compares a snapshot with a directory tree: every entry present with its
// kind, size, content and last-write time (at the manifest's 100 ns
// resolution), and nothing in the tree that the snapshot lacks. Named streams
// are looked for where restore writes them: on Linux as files named
// "owner:stream", on Windows as the streams themselves.
#include <cinttypes>
#include <cstring>
#include <set>
#include <vector>

#include "server/commands.h"
#include "server/receive.h"
#include "server/snapshot_access.h"
#include "server/store_io.h"

namespace {

struct Differences {
  uint64_t count = 0;
  void report(const std::string& line) {
    std::printf("%s\n", line.c_str());
    count += 1;
  }
};

std::string time_text(int64_t seconds, uint32_t nanoseconds) {
  char text[48];
  std::snprintf(text, sizeof text, "%" PRId64 ".%09" PRIu32, seconds, nanoseconds);
  return text;
}

bool same_time(const IoEntryStat& st, const ManifestEntry& e) {
  return st.mtime_sec == e.mtime_sec && st.mtime_nsec / 100 * 100 == e.mtime_nsec;
}

// The first chunk whose bytes differ, or -1 when the content matches.
int64_t first_different_chunk(SnapshotAccess* access, const std::string& path, std::string* error) {
  const ManifestEntry& e = access->entry[0];
  const int fd = io_open_read(path);
  if (fd < 0) return 0;
  uint8_t expected[kChunkSize];
  uint8_t actual[kChunkSize];
  int64_t result = -1;
  for (uint64_t k = 0; k < e.slot_count && result < 0; ++k) {
    uint32_t length;
    if (!snapshot_read_chunk(access, k, expected, &length, error)) {
      result = -2;
      break;
    }
    // The sizes were found equal, so a short read means the file changed.
    if (!io_read_at(fd, k * kChunkSize, actual, length) || std::memcmp(expected, actual, length) != 0)
      result = static_cast<int64_t>(k);
  }
  io_close(fd);
  return result;
}

void collect_tree(const std::string& root, const std::string& relative, std::vector<std::string>* paths) {
  const std::string directory = relative.empty() ? root : io_entry_path(root, relative);
  std::vector<std::string> names;
  if (!io_list_directory(directory, &names)) return;
  for (const std::string& name : names) {
    const std::string child = relative.empty() ? name : relative + "/" + name;
    IoEntryStat st;
    paths->push_back(child);
    if (io_stat_entry(io_entry_path(root, child), &st) && st.is_directory) collect_tree(root, child, paths);
  }
}

}  // namespace

int command_verify(const std::string& store, const std::string& snapshot, const std::string& tree,
                   bool compare_directory_times) {
  SnapshotAccess* access = new SnapshotAccess;
  std::string error;
  Differences differences;
  std::set<std::string> known;
  uint64_t entries = 0;
  bool ok = snapshot_open(access, store, snapshot, &error);
  IoEntryStat root_stat;
  if (ok && (!io_stat_entry(tree, &root_stat) || !root_stat.is_directory)) {
    error = "no directory at " + tree;
    ok = false;
  }
  ManifestStatus status = ManifestStatus::ok;
  while (ok && snapshot_next(access, &status)) {
    const ManifestEntry& e = access->entry[0];
    entries += 1;
    const bool is_root = !e.is_stream && std::strcmp(e.path, ".") == 0;
    if (!is_root) known.insert(e.path);
    if (e.is_reparse) continue;  // never restored, so nothing to compare
    const std::string path = is_root ? tree : io_entry_path(tree, e.path);
    const std::string name = e.path;
    IoEntryStat st;
    if (!io_stat_entry(path, &st)) {
      differences.report("missing: " + name);
      continue;
    }
    if (e.is_directory != st.is_directory || (!e.is_directory && !st.is_file)) {
      differences.report("kind: " + name + (e.is_directory ? " (snapshot: directory)" : " (snapshot: file)"));
      continue;
    }
    if (!e.is_directory) {
      if (st.size != e.size) {
        differences.report("size: " + name + " (snapshot " + std::to_string(e.size) + ", tree " +
                           std::to_string(st.size) + ")");
        continue;
      }
      const int64_t chunk = first_different_chunk(access, path, &error);
      if (chunk == -2) {
        ok = false;
        break;
      }
      if (chunk >= 0) differences.report("content: " + name + " (chunk " + std::to_string(chunk) + ")");
    }
    if ((!e.is_directory || compare_directory_times) && !same_time(st, e))
      differences.report("mtime: " + name + " (snapshot " + time_text(e.mtime_sec, e.mtime_nsec) + ", tree " +
                         time_text(st.mtime_sec, st.mtime_nsec) + ")");
  }
  if (ok && status != ManifestStatus::end) {
    error = manifest_error_text(&access->reader);
    ok = false;
  }
  if (ok) {
    std::vector<std::string> paths;
    collect_tree(tree, "", &paths);
    for (const std::string& path : paths)
      if (known.count(path) == 0) differences.report("extra: " + path);
  }
  snapshot_close(access);
  delete access;
  if (!ok) {
    server_message(error);
    return 1;
  }
  std::fprintf(stderr, "verified entries=%" PRIu64 " differences=%" PRIu64 "\n", entries, differences.count);
  return differences.count == 0 ? 0 : 1;
}

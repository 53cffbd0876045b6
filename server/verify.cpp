// Compares a snapshot with a directory tree: every entry present with its
// kind, size, content and last-write time (at the manifest's 100 ns
// resolution), and nothing in the tree that the snapshot lacks. Named streams
// are looked for as restore writes them, as files named "owner:stream".
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstring>
#include <set>
#include <vector>

#include "server/commands.h"
#include "server/receive.h"
#include "server/snapshot_access.h"

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

bool same_time(const struct stat& st, const ManifestEntry& e) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) == e.mtime_sec &&
         static_cast<uint32_t>(st.st_mtim.tv_nsec) / 100 * 100 == e.mtime_nsec;
}

// The first chunk whose bytes differ, or -1 when the content matches.
int64_t first_different_chunk(SnapshotAccess* access, const std::string& path, std::string* error) {
  const ManifestEntry& e = access->entry[0];
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
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
    size_t done = 0;
    while (done < length) {
      const ssize_t n = read(fd, actual + done, length - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    if (done != length || std::memcmp(expected, actual, length) != 0) result = static_cast<int64_t>(k);
  }
  close(fd);
  return result;
}

void collect_tree(const std::string& root, const std::string& relative, std::vector<std::string>* paths) {
  const std::string directory = relative.empty() ? root : root + "/" + relative;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return;
  std::vector<std::pair<std::string, bool>> children;
  while (struct dirent* d = readdir(dir)) {
    if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
    const std::string child = relative.empty() ? d->d_name : relative + "/" + d->d_name;
    struct stat st;
    const bool is_directory = lstat((root + "/" + child).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    children.emplace_back(child, is_directory);
  }
  closedir(dir);
  for (const auto& [child, is_directory] : children) {
    paths->push_back(child);
    if (is_directory) collect_tree(root, child, paths);
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
  struct stat root_stat;
  if (ok && (stat(tree.c_str(), &root_stat) != 0 || !S_ISDIR(root_stat.st_mode))) {
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
    const std::string path = is_root ? tree : tree + "/" + e.path;
    const std::string name = e.path;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      differences.report("missing: " + name);
      continue;
    }
    if (e.is_directory != S_ISDIR(st.st_mode) || (!e.is_directory && !S_ISREG(st.st_mode))) {
      differences.report("kind: " + name + (e.is_directory ? " (snapshot: directory)" : " (snapshot: file)"));
      continue;
    }
    if (!e.is_directory) {
      if (static_cast<uint64_t>(st.st_size) != e.size) {
        differences.report("size: " + name + " (snapshot " + std::to_string(e.size) + ", tree " +
                           std::to_string(st.st_size) + ")");
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
                         time_text(st.st_mtim.tv_sec, static_cast<uint32_t>(st.st_mtim.tv_nsec)) + ")");
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

// Restores a snapshot's content into a new directory. On Linux a named
// stream "owner:name" becomes a plain file of that very name beside its
// owner ("f:s" next to "f"; the root's ".:s" inside the target), since ":"
// is an ordinary character in Linux names; on Windows it is the stream
// itself. Reparse points are not recreated. Last-write times are set once
// all content is written, since writing a stream changes its file's time
// and every child changes its directory's.
#include <cinttypes>
#include <cstring>
#include <vector>

#include "server/commands.h"
#include "server/receive.h"
#include "server/snapshot_access.h"
#include "server/store_io.h"

namespace {

struct EntryTime {
  std::string path;
  int64_t seconds;
  uint32_t nanoseconds;
};

bool write_content(SnapshotAccess* access, const std::string& path, std::string* error) {
  const ManifestEntry& e = access->entry[0];
  const int fd = io_create_new(path);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + io_last_error_text();
    return false;
  }
  uint8_t data[kChunkSize];
  uint64_t offset = 0;
  for (uint64_t k = 0; k < e.slot_count; ++k) {
    uint32_t length;
    if (!snapshot_read_chunk(access, k, data, &length, error)) {
      io_close(fd);
      return false;
    }
    if (!io_write_at(fd, offset, data, length)) {
      *error = "cannot write " + path + ": " + io_last_error_text();
      io_close(fd);
      return false;
    }
    offset += length;
  }
  if (!io_close_checked(fd)) {
    *error = "cannot write " + path + ": " + io_last_error_text();
    return false;
  }
  return true;
}

}  // namespace

int command_restore(const std::string& store, const std::string& snapshot, const std::string& target) {
  SnapshotAccess* access = new SnapshotAccess;
  std::string error;
  uint64_t files = 0, directories = 0, streams = 0, reparse_skipped = 0, bytes = 0;
  std::vector<EntryTime> file_times, directory_times;
  bool ok = snapshot_open(access, store, snapshot, &error);
  if (ok && !io_create_directory(target)) {
    // An existing empty directory will do; nothing is ever overwritten.
    IoEntryStat st;
    std::vector<std::string> names;
    ok = io_stat_entry(target, &st) && st.is_directory && io_list_directory(target, &names) && names.empty();
    if (!ok) error = "the target " + target + " must be a new or empty directory";
  }
  ManifestStatus status = ManifestStatus::ok;
  while (ok && snapshot_next(access, &status)) {
    const ManifestEntry& e = access->entry[0];
    const bool is_root = !e.is_stream && std::strcmp(e.path, ".") == 0;
    const std::string path = is_root ? target : io_entry_path(target, e.path);
    if (e.is_reparse) {
      std::fprintf(stderr, "skipped reparse point: %s\n", e.path);
      reparse_skipped += 1;
      continue;
    }
    if (e.is_directory) {
      if (!is_root && !io_create_directory(path)) {
        error = "cannot create directory " + path + ": " + io_last_error_text();
        ok = false;
        break;
      }
      directory_times.push_back({path, e.mtime_sec, e.mtime_nsec});
      directories += 1;
      continue;
    }
    if (!write_content(access, path, &error)) {
      ok = false;
      break;
    }
    file_times.push_back({path, e.mtime_sec, e.mtime_nsec});
    (e.is_stream ? streams : files) += 1;
    bytes += e.size;
  }
  if (ok && status != ManifestStatus::end) {
    error = manifest_error_text(&access->reader);
    ok = false;
  }
  // Files (streams after their owners), then directories, deepest first.
  for (size_t i = 0; ok && i < file_times.size(); ++i) {
    const EntryTime& f = file_times[i];
    if (!io_set_last_write_time(f.path, f.seconds, f.nanoseconds)) {
      error = "cannot set the time of " + f.path;
      ok = false;
    }
  }
  for (size_t i = directory_times.size(); ok && i > 0; --i) {
    const EntryTime& d = directory_times[i - 1];
    if (!io_set_last_write_time(d.path, d.seconds, d.nanoseconds)) {
      error = "cannot set the time of " + d.path;
      ok = false;
    }
  }
  snapshot_close(access);
  delete access;
  if (!ok) {
    server_message(error);
    return 1;
  }
  std::printf("restored files=%" PRIu64 " directories=%" PRIu64 " streams=%" PRIu64 " reparse_skipped=%" PRIu64
              " bytes=%" PRIu64 "\n",
              files, directories, streams, reparse_skipped, bytes);
  return 0;
}

// Restores a snapshot's content into a new directory on Linux. A named
// stream "owner:name" becomes a plain file of that very name beside its
// owner ("f:s" next to "f"; the root's ".:s" inside the target), since ":"
// is an ordinary character in Linux names. Reparse points are not recreated.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstring>
#include <vector>

#include "server/commands.h"
#include "server/receive.h"
#include "server/snapshot_access.h"
#include "server/store_io.h"

namespace {

struct DirectoryTime {
  std::string path;
  int64_t seconds;
  uint32_t nanoseconds;
};

bool set_mtime(const std::string& path, int64_t seconds, uint32_t nanoseconds) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = static_cast<long>(nanoseconds);
  return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool write_content(SnapshotAccess* access, const std::string& path, std::string* error) {
  const ManifestEntry& e = access->entry[0];
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  uint8_t data[kChunkSize];
  for (uint64_t k = 0; k < e.slot_count; ++k) {
    uint32_t length;
    if (!snapshot_read_chunk(access, k, data, &length, error)) {
      close(fd);
      return false;
    }
    size_t done = 0;
    while (done < length) {
      const ssize_t n = write(fd, data + done, length - done);
      if (n <= 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        close(fd);
        return false;
      }
      done += static_cast<size_t>(n);
    }
  }
  if (close(fd) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

int command_restore(const std::string& store, const std::string& snapshot, const std::string& target) {
  SnapshotAccess* access = new SnapshotAccess;
  std::string error;
  uint64_t files = 0, directories = 0, streams = 0, reparse_skipped = 0, bytes = 0;
  std::vector<DirectoryTime> directory_times;
  bool ok = snapshot_open(access, store, snapshot, &error);
  if (ok && mkdir(target.c_str(), 0755) != 0) {
    // An existing empty directory will do; nothing is ever overwritten.
    struct stat st;
    std::vector<std::string> names;
    ok = errno == EEXIST && lstat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         io_list_directory(target, &names) && names.empty();
    if (!ok) error = "the target " + target + " must be a new or empty directory";
  }
  ManifestStatus status = ManifestStatus::ok;
  while (ok && snapshot_next(access, &status)) {
    const ManifestEntry& e = access->entry[0];
    const bool is_root = !e.is_stream && std::strcmp(e.path, ".") == 0;
    const std::string path = is_root ? target : target + "/" + e.path;
    if (e.is_reparse) {
      std::fprintf(stderr, "skipped reparse point: %s\n", e.path);
      reparse_skipped += 1;
      continue;
    }
    if (e.is_directory) {
      if (!is_root && mkdir(path.c_str(), 0755) != 0) {
        error = "cannot create directory " + path + ": " + std::strerror(errno);
        ok = false;
        break;
      }
      directory_times.push_back({path, e.mtime_sec, e.mtime_nsec});
      directories += 1;
      continue;
    }
    if (!write_content(access, path, &error) || !set_mtime(path, e.mtime_sec, e.mtime_nsec)) {
      if (error.empty()) error = "cannot set the time of " + path;
      ok = false;
      break;
    }
    (e.is_stream ? streams : files) += 1;
    bytes += e.size;
  }
  if (ok && status != ManifestStatus::end) {
    error = manifest_error_text(&access->reader);
    ok = false;
  }
  // Children change their directory's time, so directories come last, deepest first.
  for (size_t i = directory_times.size(); ok && i > 0; --i) {
    const DirectoryTime& d = directory_times[i - 1];
    if (!set_mtime(d.path, d.seconds, d.nanoseconds)) {
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

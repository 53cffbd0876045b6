#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "server/store_io.h"

int io_open_read(const std::string& path) { return open(path.c_str(), O_RDONLY | O_CLOEXEC); }

int io_open_read_write(const std::string& path) {
  return open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

int io_create_new(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
}

void io_close(int fd) {
  if (fd >= 0) close(fd);
}

bool io_read_at(int fd, uint64_t offset, void* buffer, size_t count) {
  auto* p = static_cast<char*>(buffer);
  while (count > 0) {
    const ssize_t n = pread(fd, p, count, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n, offset += static_cast<uint64_t>(n), count -= static_cast<size_t>(n);
  }
  return true;
}

bool io_write_at(int fd, uint64_t offset, const void* buffer, size_t count) {
  const auto* p = static_cast<const char*>(buffer);
  while (count > 0) {
    const ssize_t n = pwrite(fd, p, count, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n, offset += static_cast<uint64_t>(n), count -= static_cast<size_t>(n);
  }
  return true;
}

bool io_file_size(int fd, uint64_t* size) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool io_truncate(int fd, uint64_t size) { return ftruncate(fd, static_cast<off_t>(size)) == 0; }

bool io_sync(int fd) { return fdatasync(fd) == 0; }

bool io_lock(int fd) {
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool io_unlock(int fd) { return flock(fd, LOCK_UN) == 0; }

bool io_make_directory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return true;
  struct stat st;
  return errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool io_rename_new(const std::string& from, const std::string& to) {
  // link + unlink refuses an existing target, unlike rename.
  if (link(from.c_str(), to.c_str()) != 0) return false;
  unlink(from.c_str());
  return true;
}

bool io_remove(const std::string& path) { return unlink(path.c_str()) == 0; }

bool io_sync_directory(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

bool io_list_directory(const std::string& path, std::vector<std::string>* names) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  names->clear();
  while (struct dirent* e = readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names->push_back(e->d_name);
  }
  closedir(dir);
  return true;
}

long io_read_some(int fd, void* buffer, size_t count) {
  while (true) {
    const ssize_t n = read(fd, buffer, count);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

long io_write_some(int fd, const void* buffer, size_t count) {
  while (true) {
    const ssize_t n = write(fd, buffer, count);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

void io_prepare_stdio() { signal(SIGPIPE, SIG_IGN); }

int64_t io_now_microseconds() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void io_sleep_seconds(unsigned seconds) {
  struct timespec ts = {static_cast<time_t>(seconds), 0};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

unsigned long io_process_id() { return static_cast<unsigned long>(getpid()); }

std::string io_last_error_text() { return std::strerror(errno); }

bool io_close_checked(int fd) { return close(fd) == 0; }

FILE* io_fopen(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

bool io_rename_replace(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

bool io_create_directory(const std::string& path) { return mkdir(path.c_str(), 0755) == 0; }

bool io_stat_entry(const std::string& path, IoEntryStat* st) {
  struct stat s;
  if (lstat(path.c_str(), &s) != 0) return false;
  st->is_directory = S_ISDIR(s.st_mode);
  st->is_file = S_ISREG(s.st_mode);
  st->size = static_cast<uint64_t>(s.st_size);
  st->mtime_sec = static_cast<int64_t>(s.st_mtim.tv_sec);
  st->mtime_nsec = static_cast<uint32_t>(s.st_mtim.tv_nsec);
  return true;
}

bool io_set_last_write_time(const std::string& path, int64_t seconds, uint32_t nanoseconds) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = static_cast<long>(nanoseconds);
  return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string io_entry_path(const std::string& root, const std::string& manifest_path) {
  return root + "/" + manifest_path;
}

bool io_command_arguments(int argc, char** argv, std::vector<std::string>* arguments) {
  arguments->assign(argv, argv + argc);
  return true;
}

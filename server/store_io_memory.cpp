// The store I/O of store_io.h over process memory (see store_io_memory.h).
// Refusals follow the POSIX adapter: a missing parent or file is ENOENT, an
// existing name EEXIST, a read past the end fails like a short pread.
#include "server/store_io_memory.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "server/store_io.h"

namespace {

// One file may never grow past this: what a session writes is bounded by what
// it was fed, so only a fault could reach it.
constexpr uint64_t kMemoryFileLimit = uint64_t{64} << 20;

struct OpenFile {
  std::shared_ptr<std::vector<uint8_t>> bytes;
  bool writable;
};

struct MemoryIo {
  std::map<std::string, std::shared_ptr<std::vector<uint8_t>>> files;
  std::set<std::string> directories;
  std::map<int, OpenFile> open;
  int next_fd = 3;
  const uint8_t* input = nullptr;
  size_t input_size = 0;
  size_t input_at = 0;
  uint64_t output_bytes = 0;
  int64_t clock = 1767225600000000;  // 2026-01-01 00:00:00 UTC
};

MemoryIo io;

bool fail(int code) {
  errno = code;
  return false;
}

int fail_fd(int code) {
  errno = code;
  return -1;
}

bool parent_exists(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return true;
  return io.directories.count(path.substr(0, slash)) != 0;
}

int open_file(const std::shared_ptr<std::vector<uint8_t>>& bytes, bool writable) {
  const int fd = io.next_fd++;
  io.open[fd] = OpenFile{bytes, writable};
  return fd;
}

OpenFile* file_of(int fd) {
  auto it = io.open.find(fd);
  if (it == io.open.end()) {
    errno = EBADF;
    return nullptr;
  }
  return &it->second;
}

}  // namespace

void memory_io_reset(const uint8_t* input, size_t size) {
  io = MemoryIo{};
  io.input = input;
  io.input_size = size;
}

uint64_t memory_io_output_bytes() { return io.output_bytes; }

int io_open_read(const std::string& path) {
  auto it = io.files.find(path);
  if (it == io.files.end()) {
    errno = io.directories.count(path) != 0 ? EISDIR : ENOENT;
    return -1;
  }
  return open_file(it->second, false);
}

int io_open_read_write(const std::string& path) {
  auto it = io.files.find(path);
  if (it != io.files.end()) return open_file(it->second, true);
  if (io.directories.count(path) != 0) return fail_fd(EISDIR);
  if (!parent_exists(path)) return fail_fd(ENOENT);
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  io.files[path] = bytes;
  return open_file(bytes, true);
}

int io_create_new(const std::string& path) {
  if (io.files.count(path) != 0 || io.directories.count(path) != 0) return fail_fd(EEXIST);
  if (!parent_exists(path)) return fail_fd(ENOENT);
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  io.files[path] = bytes;
  return open_file(bytes, true);
}

void io_close(int fd) { io.open.erase(fd); }

bool io_read_at(int fd, uint64_t offset, void* buffer, size_t count) {
  OpenFile* f = file_of(fd);
  if (f == nullptr) return false;
  const std::vector<uint8_t>& bytes = *f->bytes;
  if (offset > bytes.size() || count > bytes.size() - offset) return fail(EIO);
  if (count > 0) std::memcpy(buffer, bytes.data() + offset, count);
  return true;
}

bool io_write_at(int fd, uint64_t offset, const void* buffer, size_t count) {
  OpenFile* f = file_of(fd);
  if (f == nullptr) return false;
  if (!f->writable) return fail(EBADF);
  if (offset > kMemoryFileLimit || count > kMemoryFileLimit - offset) return fail(ENOSPC);
  std::vector<uint8_t>& bytes = *f->bytes;
  if (bytes.size() < offset + count) bytes.resize(offset + count);
  if (count > 0) std::memcpy(bytes.data() + offset, buffer, count);
  return true;
}

bool io_file_size(int fd, uint64_t* size) {
  OpenFile* f = file_of(fd);
  if (f == nullptr) return false;
  *size = f->bytes->size();
  return true;
}

bool io_truncate(int fd, uint64_t size) {
  OpenFile* f = file_of(fd);
  if (f == nullptr) return false;
  if (!f->writable) return fail(EINVAL);
  if (size > kMemoryFileLimit) return fail(EFBIG);
  f->bytes->resize(size);
  return true;
}

// Memory is as durable as it gets here; nothing to flush, nobody to wait for.
bool io_sync(int fd) { return file_of(fd) != nullptr; }
bool io_lock(int fd) { return file_of(fd) != nullptr; }
bool io_unlock(int fd) { return file_of(fd) != nullptr; }

bool io_make_directory(const std::string& path) {
  if (io.directories.count(path) != 0) return true;
  if (io.files.count(path) != 0) return fail(EEXIST);
  if (!parent_exists(path)) return fail(ENOENT);
  io.directories.insert(path);
  return true;
}

bool io_rename_new(const std::string& from, const std::string& to) {
  auto it = io.files.find(from);
  if (it == io.files.end()) return fail(ENOENT);
  if (io.files.count(to) != 0 || io.directories.count(to) != 0) return fail(EEXIST);
  if (!parent_exists(to)) return fail(ENOENT);
  io.files[to] = it->second;
  io.files.erase(from);
  return true;
}

bool io_remove(const std::string& path) {
  if (io.files.erase(path) == 0) return fail(ENOENT);
  return true;
}

bool io_sync_directory(const std::string& path) {
  return io.directories.count(path) != 0 || fail(ENOENT);
}

bool io_list_directory(const std::string& path, std::vector<std::string>* names) {
  if (io.directories.count(path) == 0) return fail(ENOENT);
  names->clear();
  const std::string prefix = path + "/";
  auto take = [&](const std::string& name) {
    if (name.compare(0, prefix.size(), prefix) == 0 && name.find('/', prefix.size()) == std::string::npos)
      names->push_back(name.substr(prefix.size()));
  };
  for (const auto& [name, bytes] : io.files) take(name);
  for (const std::string& name : io.directories) take(name);
  return true;
}

long io_read_some(int fd, void* buffer, size_t count) {
  if (fd != kMemoryChannelIn) return fail_fd(EBADF);
  const size_t n = count < io.input_size - io.input_at ? count : io.input_size - io.input_at;
  if (n > 0) std::memcpy(buffer, io.input + io.input_at, n);
  io.input_at += n;
  return static_cast<long>(n);
}

long io_write_some(int fd, const void*, size_t count) {
  if (fd != kMemoryChannelOut) return fail_fd(EBADF);
  io.output_bytes += count;
  return static_cast<long>(count);
}

void io_prepare_stdio() {}

int64_t io_now_microseconds() { return io.clock++; }

void io_sleep_seconds(unsigned) {}

unsigned long io_process_id() { return 1; }

std::string io_last_error_text() { return std::strerror(errno); }

// Windows side of store_io.h, for the ssh.exe test double.
#include <windows.h>
#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cstring>

#include "server/store_io.h"

namespace {
constexpr size_t kPiece = 1u << 20;
}

int io_open_read(const std::string& path) {
  int fd = -1;
  _sopen_s(&fd, path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, 0);
  return fd;
}

int io_open_read_write(const std::string& path) {
  int fd = -1;
  _sopen_s(&fd, path.c_str(), _O_RDWR | _O_CREAT | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
           _S_IREAD | _S_IWRITE);
  return fd;
}

int io_create_new(const std::string& path) {
  int fd = -1;
  _sopen_s(&fd, path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
           _S_IREAD | _S_IWRITE);
  return fd;
}

void io_close(int fd) {
  if (fd >= 0) _close(fd);
}

bool io_read_at(int fd, uint64_t offset, void* buffer, size_t count) {
  if (_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) return false;
  auto* p = static_cast<char*>(buffer);
  while (count > 0) {
    const int n = _read(fd, p, static_cast<unsigned>(count < kPiece ? count : kPiece));
    if (n <= 0) return false;
    p += n, count -= static_cast<size_t>(n);
  }
  return true;
}

bool io_write_at(int fd, uint64_t offset, const void* buffer, size_t count) {
  if (_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) return false;
  const auto* p = static_cast<const char*>(buffer);
  while (count > 0) {
    const int n = _write(fd, p, static_cast<unsigned>(count < kPiece ? count : kPiece));
    if (n <= 0) return false;
    p += n, count -= static_cast<size_t>(n);
  }
  return true;
}

bool io_file_size(int fd, uint64_t* size) {
  const __int64 end = _lseeki64(fd, 0, SEEK_END);
  if (end < 0) return false;
  *size = static_cast<uint64_t>(end);
  return true;
}

bool io_truncate(int fd, uint64_t size) { return _chsize_s(fd, static_cast<__int64>(size)) == 0; }

bool io_sync(int fd) { return _commit(fd) == 0; }

bool io_lock(int fd) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  OVERLAPPED at = {};
  return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &at) != 0;
}

bool io_unlock(int fd) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  OVERLAPPED at = {};
  return UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &at) != 0;
}

bool io_make_directory(const std::string& path) {
  if (_mkdir(path.c_str()) == 0) return true;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool io_rename_new(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

bool io_remove(const std::string& path) { return _unlink(path.c_str()) == 0; }

bool io_sync_directory(const std::string&) { return true; }

bool io_list_directory(const std::string& path, std::vector<std::string>* names) {
  names->clear();
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    if (std::strcmp(data.cFileName, ".") == 0 || std::strcmp(data.cFileName, "..") == 0) continue;
    names->push_back(data.cFileName);
  } while (FindNextFileA(find, &data));
  const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(find);
  return complete;
}

long io_read_some(int fd, void* buffer, size_t count) {
  return _read(fd, buffer, static_cast<unsigned>(count < kPiece ? count : kPiece));
}

long io_write_some(int fd, const void* buffer, size_t count) {
  return _write(fd, buffer, static_cast<unsigned>(count < kPiece ? count : kPiece));
}

void io_prepare_stdio() {
  _setmode(0, _O_BINARY);
  _setmode(1, _O_BINARY);
}

int64_t io_now_microseconds() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return (ticks - 116444736000000000ll) / 10;
}

void io_sleep_seconds(unsigned seconds) { Sleep(seconds * 1000u); }

unsigned long io_process_id() { return GetCurrentProcessId(); }

std::string io_last_error_text() {
  return std::string(std::strerror(errno)) + " (Windows error " + std::to_string(GetLastError()) + ")";
}

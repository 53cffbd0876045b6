// Windows side of store_io.h, for vardokeep-refserver.exe and the ssh.exe test
// double. Every path goes through wide_path: strict UTF-8 to UTF-16, made
// absolute by GetFullPathNameW (which also turns "/" into "\") and given the
// \\?\ prefix, so that the calls neither stop at MAX_PATH nor pass names
// through the ANSI code page. Handles come from CreateFileW and become
// runtime descriptors through _open_osfhandle.
#include <windows.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>

#include <cstring>

#include "core/manifest_format.h"
#include "server/command_line_split.h"
#include "server/store_io.h"

namespace {

constexpr size_t kPiece = 1u << 20;

// Empty (and the last error ERROR_NO_UNICODE_TRANSLATION) when the text is no
// strict UTF-8; Windows then refuses the empty name itself.
std::wstring wide_path(const std::string& path) {
  if (path.empty()) return std::wstring();
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                                        nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), wide.data(), units);
  if (wide.rfind(L"\\\\?\\", 0) == 0) return wide;
  const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::wstring();
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return std::wstring();
  full.resize(length);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

bool to_utf8(const wchar_t* text, size_t units, std::string* out) {
  out->clear();
  if (units == 0) return true;
  const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, static_cast<int>(units), nullptr, 0,
                                       nullptr, nullptr);
  if (size <= 0) return false;
  out->resize(static_cast<size_t>(size));
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, static_cast<int>(units), out->data(), size, nullptr,
                      nullptr);
  return true;
}

// A descriptor over a CreateFileW handle; the runtime owns the handle after.
int descriptor_of(HANDLE handle, int flags) {
  if (handle == INVALID_HANDLE_VALUE) return -1;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  return fd;
}

// The sharing of the runtime's _SH_DENYNO, which the store has always used.
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

int open_with(const std::string& path, DWORD access, DWORD disposition, int flags) {
  const std::wstring wide = wide_path(path);
  return descriptor_of(
      CreateFileW(wide.c_str(), access, kShareReadWrite, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr), flags);
}

// A handle for attributes and times alone, on files, directories and streams;
// reparse points are opened themselves, never followed.
HANDLE open_attributes(const std::string& path, DWORD access) {
  const std::wstring wide = wide_path(path);
  return CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

}  // namespace

int io_open_read(const std::string& path) { return open_with(path, GENERIC_READ, OPEN_EXISTING, _O_RDONLY); }

int io_open_read_write(const std::string& path) {
  return open_with(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, _O_RDWR);
}

int io_create_new(const std::string& path) { return open_with(path, GENERIC_WRITE, CREATE_NEW, _O_WRONLY); }

void io_close(int fd) {
  if (fd >= 0) _close(fd);
}

bool io_close_checked(int fd) { return _close(fd) == 0; }

FILE* io_fopen(const std::string& path, const char* mode) {
  const bool write = std::strcmp(mode, "wb") == 0;
  const int fd = write ? open_with(path, GENERIC_WRITE, CREATE_ALWAYS, _O_WRONLY) : io_open_read(path);
  if (fd < 0) return nullptr;
  FILE* file = _fdopen(fd, write ? "wb" : "rb");
  if (file == nullptr) _close(fd);
  return file;
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

bool io_create_directory(const std::string& path) {
  const std::wstring wide = wide_path(path);
  return CreateDirectoryW(wide.c_str(), nullptr) != 0;
}

bool io_make_directory(const std::string& path) {
  if (io_create_directory(path)) return true;
  const std::wstring wide = wide_path(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool io_rename_new(const std::string& from, const std::string& to) {
  const std::wstring a = wide_path(from), b = wide_path(to);
  return MoveFileExW(a.c_str(), b.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

bool io_rename_replace(const std::string& from, const std::string& to) {
  const std::wstring a = wide_path(from), b = wide_path(to);
  return MoveFileExW(a.c_str(), b.c_str(), MOVEFILE_WRITE_THROUGH | MOVEFILE_REPLACE_EXISTING) != 0;
}

bool io_remove(const std::string& path) {
  const std::wstring wide = wide_path(path);
  return DeleteFileW(wide.c_str()) != 0;
}

bool io_sync_directory(const std::string&) { return true; }

bool io_list_directory(const std::string& path, std::vector<std::string>* names) {
  names->clear();
  const std::wstring pattern = wide_path(path) + L"\\*";
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  bool ok = true;
  do {
    if (std::wcscmp(data.cFileName, L".") == 0 || std::wcscmp(data.cFileName, L"..") == 0) continue;
    std::string name;
    if (!to_utf8(data.cFileName, std::wcslen(data.cFileName), &name)) {
      ok = false;  // a name with an unpaired surrogate has no UTF-8 form
      break;
    }
    names->push_back(name);
  } while (FindNextFileW(find, &data));
  if (ok) ok = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(find);
  return ok;
}

bool io_stat_entry(const std::string& path, IoEntryStat* st) {
  // A named stream ("f:s", "d:s", "root:s") reports its owner's attributes,
  // the directory bit of a directory included, but holds data of its own.
  const size_t last_separator = path.find_last_of("\\/");
  const bool stream = last_separator != std::string::npos && path.find(':', last_separator) != std::string::npos;
  HANDLE h = open_attributes(path, FILE_READ_ATTRIBUTES);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  LARGE_INTEGER size = {};
  bool ok = GetFileInformationByHandle(h, &info) != 0;
  const bool directory = ok && !stream && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  // On a stream's handle the size is the stream's own.
  if (ok && !directory) ok = GetFileSizeEx(h, &size) != 0;
  CloseHandle(h);
  if (!ok) return false;
  st->is_directory = directory && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  st->is_file = !directory;
  st->size = static_cast<uint64_t>(size.QuadPart);
  const int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                           info.ftLastWriteTime.dwLowDateTime) -
      kFiletimeUnixEpochTicks;
  int64_t seconds = ticks / kFiletimeTicksPerSecond, rest = ticks % kFiletimeTicksPerSecond;
  if (rest < 0) seconds -= 1, rest += kFiletimeTicksPerSecond;
  st->mtime_sec = seconds;
  st->mtime_nsec = static_cast<uint32_t>(rest * 100);
  return true;
}

bool io_set_last_write_time(const std::string& path, int64_t seconds, uint32_t nanoseconds) {
  const int64_t ticks = seconds * kFiletimeTicksPerSecond + nanoseconds / 100 + kFiletimeUnixEpochTicks;
  if (ticks < 0) return false;
  FILETIME when;
  when.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks));
  when.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
  HANDLE h = open_attributes(path, FILE_WRITE_ATTRIBUTES);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = SetFileTime(h, nullptr, nullptr, &when) != 0;
  CloseHandle(h);
  return ok;
}

std::string io_entry_path(const std::string& root, const std::string& manifest_path) {
  // The root's stream: ".:s" names the stream s of the root directory itself.
  if (manifest_path.rfind(".:", 0) == 0) return root + manifest_path.substr(1);
  std::string path = root + "\\" + manifest_path;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

bool io_command_arguments(int, char**, std::vector<std::string>* arguments) {
  arguments->clear();
  const std::u16string line(reinterpret_cast<const char16_t*>(GetCommandLineW()));
  for (const std::u16string& element : split_command_line(line)) {
    std::string text;
    if (!to_utf8(reinterpret_cast<const wchar_t*>(element.data()), element.size(), &text)) return false;
    arguments->push_back(text);
  }
  return true;
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
  return (ticks - kFiletimeUnixEpochTicks) / 10;
}

void io_sleep_seconds(unsigned seconds) { Sleep(seconds * 1000u); }

unsigned long io_process_id() { return GetCurrentProcessId(); }

std::string io_last_error_text() {
  return std::string(std::strerror(errno)) + " (Windows error " + std::to_string(GetLastError()) + ")";
}

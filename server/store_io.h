// The few file, lock, clock and channel operations the store and the commands
// need, so that the same code builds natively and into the Windows server and
// ssh.exe test double. Descriptors are plain ints (POSIX or the Windows
// runtime's). Paths are UTF-8; on Windows they become UTF-16 full paths with
// the \\?\ prefix, so neither MAX_PATH nor the ANSI code page limits them.
// Every routine returns false (or -1) on failure and leaves errno-style detail
// to the caller's message; none of them exits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Opens an existing file for reading.
int io_open_read(const std::string& path);
// Opens a file for reading and writing, creating it when missing.
int io_open_read_write(const std::string& path);
// Creates a new file for writing; fails when it exists.
int io_create_new(const std::string& path);
void io_close(int fd);
// Closes and says whether everything written reached the file system.
bool io_close_checked(int fd);
// A stdio stream for "rb" or "wb" (created or truncated).
FILE* io_fopen(const std::string& path, const char* mode);

// Exactly `count` bytes at `offset`.
bool io_read_at(int fd, uint64_t offset, void* buffer, size_t count);
bool io_write_at(int fd, uint64_t offset, const void* buffer, size_t count);
bool io_file_size(int fd, uint64_t* size);
bool io_truncate(int fd, uint64_t size);
// Flushes the file's data to stable storage.
bool io_sync(int fd);

// Whole-file exclusive lock, waiting for other holders. Released by unlock,
// close or process death.
bool io_lock(int fd);
bool io_unlock(int fd);

// Creates a directory; true also when it already exists as a directory.
bool io_make_directory(const std::string& path);
// Renames; fails when `to` exists.
bool io_rename_new(const std::string& from, const std::string& to);
// Renames, replacing `to` when it exists.
bool io_rename_replace(const std::string& from, const std::string& to);
bool io_remove(const std::string& path);
// Makes a rename inside `path` durable (a no-op where the system has no such call).
bool io_sync_directory(const std::string& path);
// Names in the directory, without "." and "..", unsorted.
bool io_list_directory(const std::string& path, std::vector<std::string>* names);

// Creates a directory; fails when anything exists at `path`.
bool io_create_directory(const std::string& path);

// What restore and verify look at, without following a final link.
struct IoEntryStat {
  bool is_directory;  // a directory one can descend into (no link, no reparse point)
  bool is_file;       // a regular file (Windows: anything that is no directory)
  uint64_t size;
  int64_t mtime_sec;  // last write, seconds since 1970 (floor) and nanoseconds
  uint32_t mtime_nsec;
};
bool io_stat_entry(const std::string& path, IoEntryStat* st);
bool io_set_last_write_time(const std::string& path, int64_t seconds, uint32_t nanoseconds);
// Where the manifest path of an entry lies below `root`: "/" between components
// natively, "\\" on Windows, where the root's own stream ".:s" is the stream
// "root:s" (natively it stays a file named ".:s" inside the root).
std::string io_entry_path(const std::string& root, const std::string& manifest_path);

// The command line as UTF-8 elements; on Windows read from the UTF-16 line, so
// that names outside the code page survive. False on ill-formed UTF-16.
bool io_command_arguments(int argc, char** argv, std::vector<std::string>* arguments);

// Channel reads and writes: at most `count` bytes; 0 at end of stream, -1 on error.
long io_read_some(int fd, void* buffer, size_t count);
long io_write_some(int fd, const void* buffer, size_t count);
// Binary standard input and output, and no SIGPIPE death on a closed peer.
void io_prepare_stdio();

// Microseconds since 1970-01-01 UTC.
int64_t io_now_microseconds();
void io_sleep_seconds(unsigned seconds);
unsigned long io_process_id();
// Text of the last system error, for messages.
std::string io_last_error_text();

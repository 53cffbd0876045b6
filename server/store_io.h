// The few file, lock, clock and channel operations the store and `receive`
// need, so that the same code builds natively and into the Windows ssh.exe
// test double. Descriptors are plain ints (POSIX or the Windows runtime's).
// Every routine returns false (or -1) on failure and leaves errno-style detail
// to the caller's message; none of them exits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Opens an existing file for reading.
int io_open_read(const std::string& path);
// Opens a file for reading and writing, creating it when missing.
int io_open_read_write(const std::string& path);
// Creates a new file for writing; fails when it exists.
int io_create_new(const std::string& path);
void io_close(int fd);

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
bool io_remove(const std::string& path);
// Makes a rename inside `path` durable (a no-op where the system has no such call).
bool io_sync_directory(const std::string& path);
// Names in the directory, without "." and "..", unsorted.
bool io_list_directory(const std::string& path, std::vector<std::string>* names);

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

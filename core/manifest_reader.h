// Reads and validates a whole manifest (format in manifest_format.h): every
// header field, every path and its place in the depth-first walk order, the
// six Windows attribute records, the chunk-ID slots and the exact end of file.
// Nothing here exits the process: every routine returns a status, so the
// server, the agent's tests and fuzzers can all drive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/manifest_format.h"

// Where the manifest bytes come from. `read_at` must deliver exactly `count`
// bytes at `offset` or return false.
struct ManifestSource {
  uint64_t length;
  bool (*read_at)(void* context, uint64_t offset, void* buffer, size_t count);
  void* context;
};

ManifestSource manifest_memory_source(const void* data, uint64_t length);
// Measures the file's length now; false if it cannot be positioned.
bool manifest_file_source(FILE* file, ManifestSource* source);

// What the chunk-ID slots must hold: anything, zeros (a `check` capture) or
// IDs that a server assigned (an uploaded manifest).
enum class ManifestSlotRule { any, zero, assigned };

enum class ManifestStatus {
  ok,
  end,
  read_failed,
  too_short,
  bad_magic,
  too_large,
  truncated_header,
  bad_path_length,
  reserved_not_zero,
  bad_mode,
  directory_with_size,
  bad_mtime_nsec,
  truncated_path,
  bad_path,
  misplaced_root,
  out_of_walk_order,
  duplicate_path,
  too_deep,
  bad_attributes_length,
  bad_attribute_record,
  unexpected_attribute,
  missing_attribute,
  bad_attribute_value_length,
  negative_modified_time,
  mtime_mismatch,
  kind_mismatch,
  misplaced_reparse,
  truncated_slots,
  bad_chunk_id,
};

const char* manifest_status_text(ManifestStatus status);

struct ManifestEntry {
  uint64_t offset;  // first byte of the record
  uint64_t end;     // first byte after its last slot
  uint32_t path_length;
  char path[kManifestMaxPathLength + 1];  // NUL-terminated copy
  uint32_t owner_length;                  // streams: bytes before the ":"; else path_length
  uint32_t mode;
  uint32_t attributes_length;
  uint64_t size;
  int64_t mtime_sec;
  uint32_t mtime_nsec;
  uint32_t windows_attributes;
  uint64_t created;  // raw FILETIME
  uint32_t volume_serial;
  uint32_t file_index_high;
  uint32_t file_index_low;
  uint64_t modified;  // raw FILETIME
  uint64_t reparse_offset;  // file offset of the value
  uint32_t reparse_length;  // 0 when the entry has no reparse record
  uint64_t security_offset;
  uint32_t security_length;
  uint64_t slots_offset;
  uint64_t slot_count;
  bool is_directory;
  bool is_stream;
  bool is_reparse;
};

struct ManifestOpenDirectory {
  std::string path;
  bool streams_started;
};

struct ManifestReader {
  ManifestSource source;
  ManifestSlotRule slot_rule;
  uint64_t position;
  uint64_t entry_count;
  ManifestStatus status;  // sticky once not ok
  uint64_t error_offset;  // record (or slot) where the first fault was found
  std::string error_path;
  std::vector<ManifestOpenDirectory> open_directories;
  std::string last_plain_path;  // last non-stream entry, owner of the streams after it
  bool last_plain_is_file;
  std::unordered_set<uint64_t> seen_paths;  // XXH3-64 of every path so far
};

// Checks the size bound and the magic; positions the reader at the first entry.
ManifestStatus manifest_reader_open(ManifestReader* reader, const ManifestSource* source,
                                    ManifestSlotRule slot_rule);
// Reads and validates the next entry. Returns ok with `entry` filled, end after
// the last entry, or the first fault (which sticks).
ManifestStatus manifest_reader_next(ManifestReader* reader, ManifestEntry* entry);
// Reads `count` chunk IDs of `entry`, starting at slot `first`.
bool manifest_read_slots(const ManifestReader* reader, const ManifestEntry* entry,
                         uint64_t first, uint64_t count, uint64_t* ids);
// Reads `length` bytes at `offset` of the manifest (an attribute value).
bool manifest_read_bytes(const ManifestReader* reader, uint64_t offset, void* buffer,
                         size_t length);
// One line describing the reader's fault, for error messages.
std::string manifest_error_text(const ManifestReader* reader);

// Validates the whole manifest; on failure `error_text` (if given) says why.
ManifestStatus manifest_validate(const ManifestSource* source, ManifestSlotRule slot_rule,
                                 std::string* error_text);

// Validates and prints the manifest as text, one line per entry:
//   entry offset=8 path="." kind=directory mode=040755 size=0 mtime=0.000000000
//     attributes=0x00000010 created=0 modified=0 fileid=0x00000000:0x00000000:0x00000000
//     reparse=- security=01000480... chunks=-
// (on one line; kind is directory, file, stream or reparse), then
// "end entries=N bytes=L". Stops at the first fault.
ManifestStatus manifest_print(const ManifestSource* source, ManifestSlotRule slot_rule,
                              FILE* out, std::string* error_text);

// Splits a FILETIME into the header's seconds and nanoseconds since 1970.
void filetime_to_unix_time(int64_t filetime, int64_t* seconds, uint32_t* nanoseconds);

// Path rules shared by the reader and the server: 1 to 4095 bytes of strict
// UTF-8 without NUL or backslash; "." or components joined by "/", none of
// them empty, "." or ".."; at most one ":", which starts a stream name without
// "/". Returns true when the path is acceptable.
bool manifest_path_is_valid(const char* path, uint32_t length);

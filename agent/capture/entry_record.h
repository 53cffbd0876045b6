// One manifest record per entry: the 48-byte header, the relative path and the
// entry's Windows metadata as named attribute records.
#pragma once
#include <cstdint>

#include "agent/platform/platform.h"

constexpr uint32_t ENTRY_HEADER_BYTES = 48;
constexpr uint32_t ENTRY_PATH_MAX_BYTES = 4095;
constexpr uint32_t MODE_DIRECTORY = 16877;  // 040755
constexpr uint32_t MODE_OTHER = 33188;      // 0100644
constexpr uint32_t SECURITY_DESCRIPTOR_MAX_BYTES = 65536;

constexpr char ATTRIBUTE_ATTRIBUTES[] = "user.vardokeep.windows.attributes";
constexpr char ATTRIBUTE_CREATED[] = "user.vardokeep.windows.created";
constexpr char ATTRIBUTE_FILEID[] = "user.vardokeep.windows.fileid";
constexpr char ATTRIBUTE_MODIFIED[] = "user.vardokeep.windows.modified";
constexpr char ATTRIBUTE_REPARSE[] = "user.vardokeep.windows.reparse";
constexpr char ATTRIBUTE_SECURITY[] = "user.vardokeep.windows.security";

// FILETIME ticks (100 ns since 1601-01-01 UTC) -> seconds since 1970 rounded
// towards minus infinity and the remaining nanoseconds (0 to 999999900).
void filetime_to_mtime(int64_t filetime, int64_t* seconds, uint32_t* nanoseconds);

// Writes the record at manifest_end for an entry opened as `handle` (with
// READ_CONTROL) whose information was taken right after opening. Directories
// get mode 16877 and size 0; reparse data (length 0 for none) adds the optional
// reparse attribute. Every check comes before the first byte is written.
void write_entry_record(PlatformHandle handle, const PlatformFileInformation& information, const char* path,
                        bool directory, uint64_t size, const void* reparse_data, uint32_t reparse_length);

// One manifest record per entry: the 48-byte header, the relative path and the
// entry's Windows metadata as named attribute records. The layout and its
// limits are core/manifest_format.h's, shared with the reader.
#pragma once
#include <cstdint>

#include "agent/platform/platform.h"

// Writes the record at manifest_end for an entry opened as `handle` (with
// READ_CONTROL) whose information was taken right after opening. Directories
// get mode 16877 and size 0; reparse data (at most 16384 bytes, length 0 for
// none) adds the optional reparse attribute. Without reparse data the recorded
// attribute word has no reparse-point bit. Every check comes before the
// record, assembled in memory, is appended with a single write.
void write_entry_record(PlatformHandle handle, const PlatformFileInformation& information, const char* path,
                        bool directory, uint64_t size, const void* reparse_data, uint32_t reparse_length);

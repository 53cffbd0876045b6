// File and stream content cut into 4096-byte chunks, each with its chunk-ID
// slot reserved in the manifest right behind the entry's record.
#pragma once
#include <cstdint>

#include "agent/platform/platform.h"

// Reads exactly `length` bytes from the handle (positioned at the start) into
// the chunk batch, then demands the end of file: content that ends early or
// goes on past `length` means the entry changed while it was read.
void read_content_chunks(PlatformHandle handle, uint64_t length, const char* path);

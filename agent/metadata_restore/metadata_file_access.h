// Every read of the metadata file: positioned, exact, fatal when it falls short.
#pragma once
#include "agent/platform/platform.h"

// Reads exactly length bytes at an absolute offset ("Windows metadata read").
void read_metadata_at(PlatformHandle file, uint64_t offset, void* buffer, uint32_t length);
// read_metadata_at in the shape of the core reader's MetadataReadAt; the context
// points at the file handle. It returns only on success.
bool read_metadata_through(void* context, uint64_t offset, void* buffer, uint32_t length);

// Opens a confirmed snapshot for reading: the store, the manifest file and a
// reader over it, after the whole manifest and its chunk references have
// been checked once more.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "core/manifest_reader.h"
#include "server/store.h"

struct SnapshotAccess {
  Store store;
  FILE* file = nullptr;
  ManifestSource source;
  ManifestReader reader;
  std::vector<ManifestEntry> entry = std::vector<ManifestEntry>(1);
};

bool snapshot_open(SnapshotAccess* access, const std::string& store, const std::string& snapshot,
                   std::string* error);
void snapshot_close(SnapshotAccess* access);
// Next entry into access->entry[0]; false at the end (status end) or on a fault.
bool snapshot_next(SnapshotAccess* access, ManifestStatus* status);
// Reads content chunk `index` of the current entry, re-hashed.
bool snapshot_read_chunk(SnapshotAccess* access, uint64_t index, uint8_t* data, uint32_t* length,
                         std::string* error);

// The reference server's store (layout in store_format.h): a chunk log with
// an in-memory index, and one file per snapshot. Every routine returns false
// with a message in `error` instead of exiting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/manifest_reader.h"
#include "core/wire_format.h"

struct StoredChunk {
  uint64_t record_offset;
  uint8_t descriptor[kChunkDescriptorSize];
};

struct Store {
  std::string directory;
  int lock_fd = -1;
  int log_fd = -1;
  int count_fd = -1;
  uint64_t count_sequence = 0;       // of the newest valid chunks.count slot
  uint64_t confirmed_count = 0;      // records ever confirmed to a client
  bool count_known = false;          // false for a store made before chunks.count
  std::vector<uint64_t> damaged_offsets;  // confirmed records whose bytes fail their hash
  bool locked = false;
  uint64_t indexed_end = 0;          // log bytes covered by `chunks`
  std::vector<StoredChunk> chunks;   // chunk ID k is chunks[k - 1]
  std::unordered_map<std::string, uint64_t> ids_by_descriptor;
};

// A chunk handed to store_append_chunks; `id` is filled in.
struct ChunkToStore {
  const uint8_t* descriptor;
  const uint8_t* data;
  uint64_t id;
};

// Opens (and with `create`, makes) the store and indexes its chunk log,
// cutting off records past the confirmed count that a killed run left
// unfinished. A confirmed record whose bytes are damaged keeps its ID (it is
// listed in `damaged_offsets` and fails when read); one whose header is
// damaged stops the store from opening.
bool store_open(Store* store, const std::string& directory, bool create, std::string* error);
void store_close(Store* store);

bool store_lock(Store* store, std::string* error);
void store_unlock(Store* store);
// Indexes records that other runs appended since the last look. Under the lock.
bool store_catch_up(Store* store, std::string* error);

// Chunk ID of the chunk with this descriptor, 0 when the store lacks it.
uint64_t store_find(const Store* store, const uint8_t* descriptor);
// Appends the chunks the store lacks, flushes the log, and gives every chunk
// its ID. Under the lock, after store_catch_up.
bool store_append_chunks(Store* store, ChunkToStore* chunks, size_t count, std::string* error);
// Reads chunk `id` into `data` (room for 4096 bytes) and re-hashes it.
bool store_read_chunk(const Store* store, uint64_t id, uint8_t* data, uint32_t* length,
                      std::string* error);
// Chunk length recorded for `id`; false when the store has no such chunk.
bool store_chunk_length(const Store* store, uint64_t id, uint32_t* length);

// Snapshot names sort by time: "YYYYMMDDTHHMMSS.ffffffZ" (UTC, microseconds).
std::string format_snapshot_name(int64_t microseconds);
bool parse_snapshot_name(const std::string& name, int64_t* microseconds);

// Confirmed snapshots, oldest first.
bool store_list_snapshots(const Store* store, std::vector<std::string>* names, std::string* error);
std::string store_snapshot_path(const Store* store, const std::string& name);
// Opens a new upload file under incoming/.
bool store_begin_upload(Store* store, std::string* path, int* fd, std::string* error);
// Checks that every chunk-ID slot of a validated manifest names a chunk of the
// length its place in the entry implies.
bool store_check_manifest_chunks(const Store* store, const ManifestSource* source, std::string* error);
// Makes the flushed upload a snapshot under a new name (later than every
// existing one) and flushes the directory. Takes the lock itself.
bool store_commit_snapshot(Store* store, const std::string& upload_path, std::string* name,
                           std::string* error);

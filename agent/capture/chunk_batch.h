// Chunks of 4096 bytes collected for one exchange with the server, each with
// the manifest offset of the 8-byte chunk-ID slot reserved for it.
#pragma once
#include <cstdint>

#include "core/manifest_format.h"

constexpr uint32_t CHUNK_BATCH_MIN = 64;
constexpr uint32_t CHUNK_BATCH_MAX = 2048;
constexpr uint32_t CHUNK_BATCH_DEFAULT = 256;

struct ChunkBatch {
  uint32_t capacity = CHUNK_BATCH_DEFAULT;  // from --batch, fixed before the walk
  uint32_t count = 0;                       // pending chunks
  uint8_t* data = nullptr;                  // capacity x 4096 bytes, allocated once
  uint32_t lengths[CHUNK_BATCH_MAX] = {};
  uint64_t slot_offsets[CHUNK_BATCH_MAX] = {};
};

extern ChunkBatch chunk_batch;

// Allocates the data area once, before the walk ("out of memory").
void chunk_batch_allocate();
void chunk_batch_release();
// Counts the pending chunks in check; exchanges them with the server in backup.
void flush_chunk_batch();

#include "agent/capture/content_chunks.h"

#include "agent/capture/chunk_batch.h"
#include "agent/capture/manifest_writer.h"
#include "agent/run_control/fatal_error.h"

void read_content_chunks(PlatformHandle handle, uint64_t length, const char* path) {
  static const uint8_t zero_slot[kChunkSlotSize] = {};
  uint64_t offset = 0;
  while (offset < length) {
    uint32_t n = length - offset < kChunkSize ? static_cast<uint32_t>(length - offset) : kChunkSize;
    uint32_t k = chunk_batch.count;
    uint8_t* chunk = chunk_batch.data + static_cast<size_t>(k) * kChunkSize;
    // The chunk is read straight into its place in the batch.
    uint32_t have = 0;
    while (have < n) {
      uint32_t got = 0;
      if (!platform_read_file(handle, chunk + have, n - have, &got) || got == 0) fatal_error("read file: %s", path);
      have += got;
    }
    offset += n;
    chunk_batch.lengths[k] = n;
    chunk_batch.slot_offsets[k] = manifest_end;
    // The slot exists before the flush that this chunk may set off.
    manifest_write_at(manifest_end, zero_slot, sizeof zero_slot);
    manifest_end += sizeof zero_slot;
    chunk_batch.count = k + 1;
    if (chunk_batch.count == chunk_batch.capacity) flush_chunk_batch();
  }
  uint8_t probe;
  uint32_t got = 0;
  if (!platform_read_file(handle, &probe, 1, &got) || got != 0) fatal_error("file changed during backup: %s", path);
}

// One chunk batch on the wire: describe every chunk, send only those the server
// lacks, and write the chunk ID it returns for each chunk into the manifest
// slot reserved for it. All working storage is fixed and reused for every batch.
#include "agent/transfer/batch_exchange.h"

#include <lz4.h>

#include <cstring>

#include "agent/capture/chunk_batch.h"
#include "agent/capture/manifest_writer.h"
#include "agent/run_control/fatal_error.h"
#include "agent/run_control/run_state.h"
#include "agent/transfer/backup_protocol.h"
#include "agent/transfer/server_channel.h"
#include "core/byte_order.h"
#include "core/wire_format.h"
#include "core/chunk_hash.h"

namespace {
uint8_t descriptors[kChunkDescriptorSize * CHUNK_BATCH_MAX];
uint8_t bitmap[CHUNK_BATCH_MAX];
uint8_t frame[kPayloadFrameHeaderSize + kChunkSize];
uint8_t chunk_ids[8 * CHUNK_BATCH_MAX];

// A compressed payload travels only when it is at least one byte shorter than
// the chunk, so the server tells the two forms apart by the length alone.
void send_payload_frame(const uint8_t* bytes, uint32_t length) {
  uint32_t payload_length = length;
  if (length >= 2) {
    int packed = LZ4_compress_default(reinterpret_cast<const char*>(bytes),
                                      reinterpret_cast<char*>(frame + kPayloadFrameHeaderSize), static_cast<int>(length),
                                      static_cast<int>(length - 1));
    if (packed > 0) payload_length = static_cast<uint32_t>(packed);
  }
  if (payload_length == length) memcpy(frame + kPayloadFrameHeaderSize, bytes, length);
  put_u32le(frame, payload_length);
  write_all(server_channel.out, frame, kPayloadFrameHeaderSize + payload_length);
  run_counters.chunk_wire_bytes_sent += kPayloadFrameHeaderSize + payload_length;
  run_counters.chunk_bytes_sent += length;
}
}  // namespace

void exchange_chunk_batch() {
  const uint32_t n = chunk_batch.count;
  for (uint32_t j = 0; j < n; ++j) {
    chunk_descriptor_build(chunk_batch.data + static_cast<size_t>(j) * kChunkSize, chunk_batch.lengths[j],
                           descriptors + static_cast<size_t>(j) * kChunkDescriptorSize);
  }
  uint8_t header[kBatchHeaderSize];
  header[0] = kMessageChunkBatch;
  put_u32le(header + 1, n);
  write_all(server_channel.out, header, sizeof header);
  write_all(server_channel.out, descriptors, static_cast<uint64_t>(n) * kChunkDescriptorSize);

  read_exact(server_channel.in, bitmap, n);
  for (uint32_t j = 0; j < n; ++j) {
    if (bitmap[j] > 2) fatal_error("invalid missing-chunk bitmap");
    if (bitmap[j] != 0) continue;
    send_payload_frame(chunk_batch.data + static_cast<size_t>(j) * kChunkSize, chunk_batch.lengths[j]);
  }

  read_exact(server_channel.in, chunk_ids, static_cast<uint64_t>(n) * 8);
  for (uint32_t k = 0; k < n; ++k) {
    const uint8_t* id_bytes = chunk_ids + static_cast<size_t>(k) * 8;
    uint64_t id = get_u64le(id_bytes);
    if (id == 0 || id > kChunkIdMax) fatal_error("invalid chunk ID");
    manifest_write_at(chunk_batch.slot_offsets[k], id_bytes, 8);
  }

  run_counters.chunks_checked += n;
  chunk_batch.count = 0;
}

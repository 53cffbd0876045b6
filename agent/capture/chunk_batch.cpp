#include "agent/capture/chunk_batch.h"

#include <cstdlib>

#include "agent/run_control/fatal_error.h"
#include "agent/run_control/run_state.h"
#include "agent/transfer/batch_exchange.h"

void chunk_batch_allocate() {
  chunk_batch.data = static_cast<uint8_t*>(malloc(static_cast<size_t>(chunk_batch.capacity) * kChunkSize));
  if (chunk_batch.data == nullptr) fatal_error("out of memory");
  chunk_batch.count = 0;
}

void chunk_batch_release() {
  free(chunk_batch.data);
  chunk_batch.data = nullptr;
}

void flush_chunk_batch() {
  if (chunk_batch.count == 0) return;
  if (check_mode) {
    run_counters.chunks_checked += chunk_batch.count;
    chunk_batch.count = 0;
    return;
  }
  exchange_chunk_batch();
}

#include "agent/run_control/run_state.h"

#include <cstdlib>

#include "agent/capture/chunk_batch.h"
#include "agent/capture/manifest_writer.h"
#include "agent/run_control/process_resources.h"
#include "agent/transfer/server_channel.h"
#include "agent/vss/vss_snapshot.h"
#include "core/manifest_format.h"

// The options, counters and paths of run_state.h.
RunOptions run_options;
RunCounters run_counters;
bool check_mode = false;
ExclusionList exclusion_list;
wchar16* source_root = nullptr;
wchar16 manifest_canonical_path[CANONICAL_PATH_UNITS];
wchar16* manifest_in_source = nullptr;
// The manifest being written (manifest_writer.h) and the chunks of the batch
// being filled (chunk_batch.h).
uint64_t manifest_end = kManifestMagicSize;
ChunkBatch chunk_batch;
// The server channel and its ssh.exe child (server_channel.h).
ServerChannel server_channel;
PlatformHandle ssh_process = nullptr;
// What fatal_error releases (process_resources.h).
PlatformHandle ssh_job = nullptr;
int manifest_fd = -1;
PlatformHandle restore_root_handle = nullptr;
// The shadow-copy requester (vss_snapshot.h).
VssRequesterState vss_state;

void reset_run_state() {
  free(run_options.source);
  free(run_options.ssh_config);
  free(run_options.destination);
  run_options = RunOptions{};
  run_counters = RunCounters{};
  check_mode = false;
  for (uint32_t i = 0; i < exclusion_list.count; ++i) free(exclusion_list.prefixes[i]);
  exclusion_list = ExclusionList{};
  free(source_root);
  source_root = nullptr;
  manifest_canonical_path[0] = 0;
  free(manifest_in_source);
  manifest_in_source = nullptr;
  manifest_end = kManifestMagicSize;
  free(chunk_batch.data);
  chunk_batch = ChunkBatch{};
  server_channel = ServerChannel{};
  ssh_process = nullptr;
  ssh_job = nullptr;
  manifest_fd = -1;
  restore_root_handle = nullptr;
  // vss_state is left to vss_cleanup, which alone may let go of a live
  // requester (a forgotten one would leave its shadow copy behind) and which
  // zeroes it once everything is released.
}

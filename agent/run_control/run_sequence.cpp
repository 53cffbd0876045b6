// check and backup: from the normalised source to the summary, in this order.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/capture/chunk_batch.h"
#include "agent/capture/manifest_writer.h"
#include "agent/capture/tree_walk.h"
#include "agent/run_control/agent_main.h"
#include "agent/run_control/fatal_error.h"
#include "agent/run_control/process_resources.h"
#include "agent/run_control/run_state.h"
#include "agent/run_control/source_path.h"
#include "agent/run_control/text_conversion.h"
#include "agent/run_control/usage_text.h"
#include "agent/transfer/server_channel.h"
#include "agent/vss/vss_snapshot.h"

constexpr uint32_t TEMP_PATH_MAX_UNITS = 32700;
constexpr int MANIFEST_CREATE_ATTEMPTS = 100;

// The private manifest: read-write, unshared, deleted by the system when its
// last handle closes, so it never outlives the run, whatever ends it.
static void create_private_manifest() {
  static wchar16 temp_directory[32768];
  uint32_t length = platform_temp_path(32768, temp_directory);
  if (length == 0 || length > TEMP_PATH_MAX_UNITS) fatal_error("temporary directory");

  PlatformHandle handle = PLATFORM_INVALID_HANDLE;
  for (int attempt = 0; attempt < MANIFEST_CREATE_ATTEMPTS; ++attempt) {
    uint64_t ticks = platform_tick_count();
    uint32_t process_id = platform_process_id();
    char name[96];
    snprintf(name, sizeof name, "vardo-agent-%" PRIu32 "-%" PRIu64 "-%d.tmp", process_id, ticks, attempt);
    static wchar16 path[32768 + 96];
    size_t at = 0;
    for (; temp_directory[at] != 0; ++at) path[at] = temp_directory[at];
    for (size_t i = 0; name[i] != 0; ++i) path[at++] = static_cast<wchar16>(name[i]);
    path[at] = 0;
    handle = platform_create_file(path, WIN_GENERIC_READ | WIN_GENERIC_WRITE, 0, WIN_CREATE_NEW,
                                  WIN_FILE_ATTRIBUTE_TEMPORARY | WIN_FILE_FLAG_DELETE_ON_CLOSE);
    if (handle != PLATFORM_INVALID_HANDLE) break;
    if (platform_last_error() != WIN_ERROR_FILE_EXISTS) fatal_error("create private manifest");
  }
  if (handle == PLATFORM_INVALID_HANDLE) fatal_error("temporary manifest collision");

  uint32_t canonical = platform_final_path(handle, manifest_canonical_path, CANONICAL_PATH_UNITS);
  if (canonical == 0 || canonical > 32767) {
    // The handle is not yet owned by a descriptor; closing it removes the file.
    uint32_t code = platform_last_error();
    platform_close_handle(handle);
    platform_set_last_error(code);
    fatal_error("canonical manifest path");
  }
  manifest_fd = platform_open_descriptor(handle, PLATFORM_O_BINARY | PLATFORM_O_RDWR);
  if (manifest_fd < 0) {
    uint32_t code = platform_last_error();
    platform_close_handle(handle);
    platform_set_last_error(code);
    fatal_error("manifest descriptor");
  }
}

static void print_summary() {
  char text[512];
  int length = snprintf(text, sizeof text,
                        "agent_version=%s\nfiles=%" PRIu64 "\ndirectories=%" PRIu64 "\nalternate_streams=%" PRIu64
                        "\nreparse_placeholders=%" PRIu64 "\nchunks_checked=%" PRIu64 "\nchunk_bytes_sent=%" PRIu64
                        "\nchunk_wire_bytes_sent=%" PRIu64 "\nmanifest_bytes=%" PRIu64 "\n",
                        AGENT_VERSION, run_counters.files, run_counters.directories, run_counters.alternate_streams,
                        run_counters.reparse_placeholders, run_counters.chunks_checked,
                        run_counters.chunk_bytes_sent, run_counters.chunk_wire_bytes_sent, manifest_end);
  platform_write_stderr(text, static_cast<size_t>(length));
}

int run_capture() {
  wchar16* full_path = resolve_source_path(run_options.source);
  source_root = long_form_source_root(full_path);
  require_real_directory(source_root);
  platform_enable_privilege(u"SeBackupPrivilege");

  if (run_options.vss_writers) {
    wchar16* snapshot_root = vss_snapshot_source(full_path);
    free(source_root);
    source_root = snapshot_root;
  } else {
    require_source_on_its_device(source_root);
  }
  free(full_path);

  create_private_manifest();
  manifest_begin();
  chunk_batch_allocate();

  if (!check_mode) {
    open_server_channel(run_options.destination, run_options.ssh_config, run_options.stdio);
    exchange_hello();
  }
  walk_entry(source_root, ".", 0);
  flush_chunk_batch();
  if (!check_mode) upload_manifest();
  print_summary();
  if (run_options.vss_writers) vss_complete_backup();

  platform_close(manifest_fd);
  manifest_fd = -1;
  chunk_batch_release();
  reset_run_state();
  return 0;
}

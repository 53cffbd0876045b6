// vss_snapshot_source: preconditions, the requester sequence up to the
// snapshot, and the matching source path inside it.
#include <cstdlib>
#include <cstring>

#include "agent/capture/tree_walk.h"
#include "agent/run_control/fatal_error.h"
#include "agent/run_control/run_state.h"
#include "agent/run_control/source_path.h"
#include "agent/run_control/text_conversion.h"
#include "agent/vss/vss_snapshot.h"

static wchar16 volume_mount_point[VSS_VOLUME_PATH_UNITS];
static wchar16 volume_name[VSS_VOLUME_PATH_UNITS];

// The exit handler is registered once per process, however many runs a test
// process makes.
static void register_cleanup() {
  static bool registered = false;
  if (registered) return;
  if (atexit(vss_cleanup) != 0) fatal_error("out of memory");
  registered = true;
}

// One snapshot of the one volume that holds the source; its writers must all
// be stable before anything is read from it.
static void create_snapshot() {
  int32_t result = vss_com_initialize(WIN_COINIT_MULTITHREADED);
  if (result < 0) vss_fail(result, "COM init");
  vss_state.com_initialized = true;
  register_cleanup();

  result = vss_com_initialize_security(WIN_RPC_C_AUTHN_LEVEL_PKT_PRIVACY, WIN_RPC_C_IMP_LEVEL_IMPERSONATE,
                                       WIN_EOAC_NONE);
  if (result < 0) vss_fail(result, "COM security");
  result = vss_create_requester(&vss_state.requester);
  if (result < 0) {
    vss_state.requester = nullptr;  // nothing to release
    vss_fail(result, "create requester");
  }
  result = vss_initialize_for_backup(vss_state.requester);
  if (result < 0) vss_fail(result, "initialize");
  result = vss_set_context(vss_state.requester, WIN_VSS_CTX_BACKUP);
  if (result < 0) vss_fail(result, "context");
  result = vss_set_backup_state(vss_state.requester, false, false, WIN_VSS_BT_COPY, false);
  if (result < 0) vss_fail(result, "backup state");

  VssAsync* async = nullptr;
  result = vss_gather_writer_metadata(vss_state.requester, &async);
  vss_wait_async(result, async, "writer metadata");

  result = vss_start_snapshot_set(vss_state.requester, &vss_state.snapshot_set_id);
  if (result < 0) vss_fail(result, "start snapshot set");
  const VssGuid system_chooses_provider{};
  result = vss_add_to_snapshot_set(vss_state.requester, volume_name, system_chooses_provider, &vss_state.snapshot_id);
  if (result < 0) vss_fail(result, "add volume");

  async = nullptr;
  result = vss_prepare_for_backup(vss_state.requester, &async);
  vss_wait_async(result, async, "prepare writers");
  async = nullptr;
  result = vss_do_snapshot_set(vss_state.requester, &async);
  vss_wait_async(result, async, "create snapshot");
  vss_state.snapshot_created = true;

  vss_check_writers();
}

// The snapshot's device object, a backslash, and the part of the source below
// its mount point (empty for the volume root, leaving a trailing backslash).
static wchar16* snapshot_source_path(const wchar16* full_path, const wchar16* device_path) {
  size_t mount_length = wide_length(volume_mount_point);
  size_t full_length = wide_length(full_path);
  // The mount folder itself ("C:\mnt\disk" on "C:\mnt\disk\") has nothing below it.
  const wchar16* remainder = full_path + (mount_length < full_length ? mount_length : full_length);
  size_t device_length = wide_length(device_path);
  size_t remainder_length = wide_length(remainder);
  size_t units = device_length + remainder_length + 2;
  if (units > VSS_SNAPSHOT_PATH_MAX_UNITS) fatal_error("VSS snapshot path too long");
  auto* path = static_cast<wchar16*>(malloc(units * sizeof(wchar16)));
  if (path == nullptr) fatal_error("out of memory");
  memcpy(path, device_path, device_length * sizeof(wchar16));
  path[device_length] = u'\\';
  memcpy(path + device_length + 1, remainder, remainder_length * sizeof(wchar16));
  path[units - 1] = 0;
  return path;
}

// The source's own final path without its "\\?\", so that the volume and the
// part below its mount point are chosen from what the path leads to: a
// junction or link on the way would lead out of the shadow copy again. A path
// that ends on a share or on no DOS name is not on a local volume.
static const wchar16* resolved_source(const wchar16* full_path) {
  static wchar16 final_path[CANONICAL_PATH_UNITS];
  wchar16* long_form = long_form_source_root(full_path);
  PlatformHandle root = open_walk_directory(long_form);
  free(long_form);
  if (root == PLATFORM_INVALID_HANDLE) fatal_error("canonical source path");
  bool named = source_final_path(root, final_path);
  platform_close_handle(root);
  const wchar16* resolved = final_path + 4;
  if (!named || resolved[0] == 0 || resolved[1] != u':') fatal_error("VSS requires a local volume");
  return resolved;
}

wchar16* vss_snapshot_source(const wchar16* full_path) {
  if (check_mode) fatal_error("--vss-writers requires backup, not check");
  // UNC and "\\?\" sources are refused before COM is touched.
  if (full_path[0] == 0 || full_path[1] != u':') fatal_error("VSS requires a local volume");
  full_path = resolved_source(full_path);
  if (!vss_volume_path_name(full_path, volume_mount_point, VSS_VOLUME_PATH_UNITS) ||
      !vss_volume_name_for_mount_point(volume_mount_point, volume_name, VSS_VOLUME_PATH_UNITS)) {
    fatal_error("VSS requires a local volume");
  }

  create_snapshot();

  VssSnapshotProperties properties;
  memset(&properties, 0, sizeof properties);
  int32_t result = vss_get_snapshot_properties(vss_state.requester, vss_state.snapshot_id, &properties);
  if (result < 0) vss_fail(result, "snapshot properties");
  wchar16* path = snapshot_source_path(full_path, properties.snapshot_device_object);
  require_inside_snapshot(path, properties.snapshot_device_object);
  vss_free_snapshot_properties(&properties);

  static const char mode_line[] = "vss_mode=writers-copy\n";
  platform_write_stderr(mode_line, sizeof mode_line - 1);
  return path;
}

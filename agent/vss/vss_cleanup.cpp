// Completion after the summary, and the clean-up that every way out of the
// process runs: no snapshot may outlive the agent.
#include <cinttypes>
#include <cstdio>

#include "agent/vss/vss_snapshot.h"

void vss_complete_backup() {
  if (vss_state.requester == nullptr) return;
  VssAsync* async = nullptr;
  int32_t started = vss_backup_complete(vss_state.requester, &async);
  vss_wait_async(started, async, "backup complete");
  vss_check_writers();
  vss_state.backup_completed = true;
  vss_cleanup();
}

void vss_cleanup() {
  if (vss_state.requester != nullptr) {
    if (!vss_state.backup_completed) vss_abort_backup(vss_state.requester);  // result ignored
    if (vss_state.snapshot_created) {
      int32_t deleted_count = 0;
      VssGuid nondeleted_id{};
      int32_t result = vss_delete_snapshots(vss_state.requester, vss_state.snapshot_id, WIN_VSS_OBJECT_SNAPSHOT,
                                            true, &deleted_count, &nondeleted_id);
      if (result < 0) {
        // Only a warning: the backup itself is what the exit status reports.
        char line[48];
        int length = snprintf(line, sizeof line, "vss_cleanup_warning=0x%08" PRIx32 "\n",
                              static_cast<uint32_t>(result));
        platform_write_stderr(line, static_cast<size_t>(length));
      }
    }
    vss_release_requester(vss_state.requester);
    vss_state.requester = nullptr;
  }
  if (vss_state.com_initialized) vss_com_uninitialize();
  // Everything is released; a later call (the exit handler) finds nothing.
  vss_state = VssRequesterState{};
}

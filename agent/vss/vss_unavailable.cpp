// Shadow copies are not part of this build yet: --vss-writers ends the run.
#include "agent/run_control/fatal_error.h"
#include "agent/run_control/run_state.h"
#include "agent/vss/vss_snapshot.h"

wchar16* vss_snapshot_source(const wchar16*) {
  if (check_mode) fatal_error("--vss-writers requires backup, not check");
  fatal_error("VSS writer snapshots are not available in this build");
}
void vss_complete_backup() {}

// Writer-coordinated shadow copy of the source volume (--vss-writers).
// A shadow copy left behind fills the shadow storage and blocks the next backup
// of every product on the machine, so every way out of the process, success or
// failure, goes through vss_cleanup.
#pragma once
#include "agent/platform/platform.h"
#include "agent/vss/vss_requester.h"

// The one process-wide requester record; zero at start.
struct VssRequesterState {
  VssRequester* requester = nullptr;  // released exactly once, by vss_cleanup
  VssGuid snapshot_set_id{};
  VssGuid snapshot_id{};              // for GetSnapshotProperties and DeleteSnapshots
  bool com_initialized = false;       // CoUninitialize still owed
  bool snapshot_created = false;      // DoSnapshotSet finished: the snapshot must be deleted
  bool backup_completed = false;      // BackupComplete and the second writer check passed
};

extern VssRequesterState vss_state;

constexpr uint32_t VSS_WAIT_MILLISECONDS = 120000;
constexpr size_t VSS_SNAPSHOT_PATH_MAX_UNITS = 32760;

// Takes the full source path as GetFullPathNameW gave it (no "\\?\" prefix),
// resolves it to the source's final path, creates the shadow copy of that
// path's volume and returns the matching path inside it (malloc), which must
// lead to the snapshot's own device. Prints "vss_mode=writers-copy". Never
// returns on failure.
wchar16* vss_snapshot_source(const wchar16* full_path);
// After the summary: BackupComplete, the second writer check, then clean-up.
void vss_complete_backup();
// Aborts an unfinished backup, deletes a created snapshot, releases the
// requester and uninitialises COM. Runs as an exit handler; a second call
// finds nothing to do.
void vss_cleanup();
// Waits for an asynchronous step that `started` reports on; consumes `async`.
void vss_wait_async(int32_t started, VssAsync* async, const char* step);
// Every writer must be stable (or waiting for backup complete) without failure.
void vss_check_writers();
[[noreturn]] void vss_fail(int32_t result, const char* step);

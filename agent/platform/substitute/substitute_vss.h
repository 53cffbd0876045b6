// The scripted VSS requester for native tests: it plays whatever a test sets
// (a step's HRESULT, an asynchronous operation that finishes, fails or stays
// pending, any list of writers, a DeleteSnapshots failure) and records every
// call with its arguments, so tests assert the exact sequence. Its objects are
// real allocations, so a double Release or a use after Release trips ASan.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "agent/vss/vss_requester.h"

// What an asynchronous step (named by its starting call) does.
struct SubstituteVssAsyncScript {
  bool missing = false;              // the starting call returns no IVssAsync
  bool returned_on_failure = false;  // a failing starting call still returns one
  int32_t wait_result = 0;
  int32_t query_result = 0;
  int32_t status = WIN_VSS_S_ASYNC_FINISHED;
  bool status_unwritten = false;     // QueryStatus leaves the status as it found it
};

struct SubstituteVssWriter {
  std::u16string name;
  bool named = true;  // false: GetWriterStatus returns no name
  int32_t state = WIN_VSS_WS_STABLE;
  int32_t failure = 0;
};

struct SubstituteVss {
  // Mount point (ending in a backslash) and its volume GUID path; the longest
  // mount point that holds a path is its volume.
  std::vector<std::pair<std::u16string, std::u16string>> volumes;
  // The HRESULT a call answers, by call name ("DoSnapshotSet"); "Name#2" scripts
  // only its second occurrence. Unscripted calls answer S_OK.
  std::map<std::string, int32_t> results;
  std::map<std::string, SubstituteVssAsyncScript> async;  // by starting call, "#n" too
  // The writers of each GatherWriterStatus in turn; the last list repeats.
  std::vector<std::vector<SubstituteVssWriter>> writer_lists;
  std::u16string snapshot_device_object;
  VssGuid snapshot_id{};  // what AddToSnapshotSet hands out
  // The mount point of the volume AddToSnapshotSet added. DoSnapshotSet copies
  // the substitute volume's entries and links below it under the device
  // object, as the shadow copy holds them (a link's absolute target still
  // names the live volume); DeleteSnapshots removes them.
  std::u16string snapshot_mount_point;

  // Every call, as "Name arguments".
  std::vector<std::string> calls;
  // Also write each call as "vss_call=..." to standard error, so a test that
  // runs the agent in a child process sees what the exit handler did.
  bool echo_calls = false;
  std::map<std::string, int> occurrences;
  int live_requesters = 0;
  int live_async = 0;
  int live_names = 0;
  int com_depth = 0;
};

extern SubstituteVss substitute_vss;

// C:\ on one volume, one stable writer, every call succeeding.
void substitute_vss_reset();
std::string substitute_vss_guid_text(const VssGuid& id);

// Runs a piece of the agent in a child process, the way the agent itself runs:
// a fatal error exits the child and its exit handlers run. The scripted
// requester echoes every call onto standard error, so the parent sees the
// whole sequence and which calls came after the run ended (the exit handler's).
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "agent/platform/substitute/substitute_volume.h"
#include "agent/platform/substitute/substitute_vss.h"

struct ChildRun {
  int exit_code = -1;
  // Standard error without the echoed calls; "(Windows error=N)" for any number.
  std::string err;
  std::vector<std::string> calls;       // every requester call, in order
  std::vector<std::string> exit_calls;  // those after the fatal line or the return
  std::vector<std::string> volume_calls;  // the substitute volume's operations
  // Objects and COM initialisations the requester double still holds at exit.
  std::string live_at_exit;
};

// The body's return value is the exit code, as from wmain.
ChildRun run_in_child(const std::function<int()>& body);

// The agent's entry with these arguments, in a child.
ChildRun run_agent_in_child(const std::vector<std::u16string>& args);

// vss_snapshot_source on this full path (made a directory of the substitute
// volume when missing), the path it returns shown as
// "snapshot_source=", then vss_complete_backup, as a backup run places them;
// `check` stands for the check command.
ChildRun run_snapshot_in_child(const std::u16string& full_path, bool check = false);
// The calls of the normal clean-up by state, for comparisons.
extern const std::vector<std::string> cleanup_before_snapshot;
extern const std::vector<std::string> cleanup_after_snapshot;

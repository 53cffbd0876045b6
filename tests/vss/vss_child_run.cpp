#include "tests/vss/vss_child_run.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>

#include "agent/run_control/agent_main.h"
#include "agent/run_control/run_state.h"
#include "agent/vss/vss_snapshot.h"
#include "tests/support/child_process.h"
#include "tests/support/run_agent.h"

const std::vector<std::string> cleanup_before_snapshot = {"AbortBackup", "Release requester", "CoUninitialize"};
const std::vector<std::string> cleanup_after_snapshot = {
    "AbortBackup", "DeleteSnapshots {5a5a0007-1111-2222-0102-030405060708} 3 1", "Release requester",
    "CoUninitialize"};

static void report_volume_calls() {
  std::string line = "volume_calls=";
  for (const auto& call : substitute.calls) line += call.operation + " " + u8(call.path) + "|";
  line += "\n";
  // What the requester double still holds once every exit handler has run.
  line += "vss_live=requesters=" + std::to_string(substitute_vss.live_requesters) +
          " async=" + std::to_string(substitute_vss.live_async) + " names=" +
          std::to_string(substitute_vss.live_names) + " com=" + std::to_string(substitute_vss.com_depth) + "\n";
  if (write(2, line.data(), line.size()) < 0) return;
}

ChildRun run_in_child(const std::function<int()>& body) {
  const ChildResult child = run_forked(
      [&] {
        substitute_vss.echo_calls = true;
        atexit(report_volume_calls);  // runs after the VSS exit handler registered later
        int code = body();
        static const char returned[] = "vss_test=returned\n";
        if (write(2, returned, sizeof returned - 1) < 0) _exit(99);
        return code;
      },
      {.stdin_file = "/dev/null", .stdout_file = "/dev/null"});
  const std::string& raw = child.err;

  ChildRun run;
  run.exit_code = child.exit_code;
  bool ended = false;
  size_t at = 0;
  while (at < raw.size()) {
    size_t end = raw.find('\n', at);
    if (end == std::string::npos) end = raw.size() - 1;
    std::string line = raw.substr(at, end - at + 1);
    at = end + 1;
    std::string text = line.back() == '\n' ? line.substr(0, line.size() - 1) : line;
    if (text.rfind("vss_call=", 0) == 0) {
      run.calls.push_back(text.substr(9));
      if (ended) run.exit_calls.push_back(text.substr(9));
    } else if (text.rfind("volume_calls=", 0) == 0) {
      std::string list = text.substr(13);
      for (size_t from = 0, bar; (bar = list.find('|', from)) != std::string::npos; from = bar + 1) {
        run.volume_calls.push_back(list.substr(from, bar - from));
      }
    } else if (text.rfind("vss_live=", 0) == 0) {
      run.live_at_exit = text.substr(9);
    } else if (text == "vss_test=returned") {
      ended = true;
    } else {
      if (text.rfind("vardokeep-agent: ", 0) == 0) ended = true;
      run.err += line;
    }
  }
  run.err = std::regex_replace(run.err, std::regex("\\(Windows error=[0-9]+\\)"), "(Windows error=N)");
  return run;
}

ChildRun run_agent_in_child(const std::vector<std::u16string>& args) {
  return run_in_child([&] { return run_agent(args); });
}

ChildRun run_snapshot_in_child(const std::u16string& full_path, bool check) {
  return run_in_child([&] {
    check_mode = check;
    // The source is a directory on the live volume, as a run finds it.
    if (full_path.size() > 1 && full_path[1] == u':' && substitute_find(full_path) == nullptr) {
      substitute_add_directory(full_path);
    }
    wchar16* path = vss_snapshot_source(full_path.c_str());
    std::string shown = "snapshot_source=" + u8(path) + "\n";
    platform_write_stderr(shown.data(), shown.size());
    free(path);
    vss_complete_backup();
    return 0;
  });
}

// The agent's own backup under Wine, timed inside the process from the entry
// to the return, so Wine's start-up and exit are left out, with every capture
// call and every read and write counted (bench/capture/call_profile.h): the
// time spent waiting for the server's answers is shown apart. Built and run by
// run_backup_bench.sh with --stdio joined to the reference server.
#include <windows.h>

#include "agent/run_control/agent_main.h"
#include "bench/capture/call_profile.h"

extern "C" {
int _dowildcard = 0;
}

int wmain(int argc, wchar_t** argv) {
  call_profile::time_agent_calls();
  double start = call_profile::seconds();
  int code = agent_main(argc, reinterpret_cast<wchar16**>(argv));
  call_profile::print(call_profile::seconds() - start, "run in total");
  return code;
}

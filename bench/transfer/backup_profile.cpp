// The agent's own backup under Wine, timed inside the process from the entry
// to the return, so Wine's start-up and exit are left out. Built and run by
// run_backup_bench.sh with --stdio joined to the reference server.
#include <windows.h>

#include <cstdio>

#include "agent/run_control/agent_main.h"

extern "C" {
int _dowildcard = 0;
}

int wmain(int argc, wchar_t** argv) {
  LARGE_INTEGER start, end, frequency;
  QueryPerformanceCounter(&start);
  int code = agent_main(argc, reinterpret_cast<wchar16**>(argv));
  QueryPerformanceCounter(&end);
  QueryPerformanceFrequency(&frequency);
  fprintf(stderr, "seconds=%.6f\n",
          static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
  return code;
}

// Where check spends its time under Wine: runs the agent's own check in
// process with every capture call of the win32_api table timed, and prints the
// calls, their counts and their share of the run; what remains is the agent's
// own work. Built and run by run_capture_bench.sh, which takes the in-process
// time of check from it, and by run_scale_bench.sh, which also takes the peak
// memory and, given a second argument (a Windows path), a copy of the manifest
// made just before the agent closes (and so deletes) it.
#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "agent/capture/manifest_writer.h"
#include "agent/platform/win32/win32_api.h"
#include "agent/run_control/agent_main.h"
#include "agent/run_control/process_resources.h"
#include "bench/capture/call_profile.h"

namespace {

int (*real_close)(int) = nullptr;
const wchar_t* copy = nullptr;  // where the manifest is copied, if anywhere
double copy_seconds = 0;  // left out of the run's time

// Reads the manifest back through its own descriptor before it goes away.
int close_copying_manifest(int fd) {
  if (fd == manifest_fd && copy != nullptr) {
    double start = call_profile::seconds();
    HANDLE out = CreateFileW(copy, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE || win32_api.lseeki64(fd, 0, SEEK_SET) != 0) {
      fprintf(stderr, "manifest copy failed\n");
      exit(1);
    }
    static char buffer[65536];
    uint64_t left = manifest_end;
    while (left > 0) {
      unsigned piece = left < sizeof buffer ? static_cast<unsigned>(left) : sizeof buffer;
      int got = call_profile::real_read(fd, buffer, piece);
      DWORD put = 0;
      if (got <= 0 || !WriteFile(out, buffer, static_cast<DWORD>(got), &put, nullptr) || put != DWORD(got)) {
        fprintf(stderr, "manifest copy failed\n");
        exit(1);
      }
      left -= static_cast<uint64_t>(got);
    }
    CloseHandle(out);
    copy_seconds = call_profile::seconds() - start;
  }
  return real_close(fd);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 && argc != 3) {
    fwprintf(stderr, L"use: capture_profile DIRECTORY [MANIFEST-COPY]\n");
    return 2;
  }
  if (argc == 3) copy = argv[2];
  call_profile::time_agent_calls();
  real_close = win32_api.close;
  win32_api.close = close_copying_manifest;
  std::wstring args[] = {L"vardokeep-agent.exe", L"check", L"--source", argv[1]};
  wchar16* agent_argv[] = {reinterpret_cast<wchar16*>(args[0].data()), reinterpret_cast<wchar16*>(args[1].data()),
                           reinterpret_cast<wchar16*>(args[2].data()), reinterpret_cast<wchar16*>(args[3].data()),
                           nullptr};
  double start = call_profile::seconds();
  agent_main(4, agent_argv);
  call_profile::print(call_profile::seconds() - start - copy_seconds, "check in total");
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) {
    fprintf(stderr, "peak_working_set=%llu\npeak_private=%llu\n",
            static_cast<unsigned long long>(memory.PeakWorkingSetSize),
            static_cast<unsigned long long>(memory.PeakPagefileUsage));
  }
  return 0;
}

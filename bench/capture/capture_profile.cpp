// Where check spends its time under Wine: runs the agent's own check in
// process with every capture call of the win32_api table timed, and prints the
// calls, their counts and their share of the run; what remains is the agent's
// own work. Built and run by run_capture_bench.sh, which takes the in-process
// time of check from it.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "agent/platform/win32/win32_api.h"
#include "agent/run_control/agent_main.h"

namespace {

double seconds() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Tally {
  const char* name;
  unsigned long long calls;
  double time;
};
std::vector<Tally> tallies;

template <typename Slot>
struct Timed;
// One wrapper per table entry, told apart by its index.
template <typename R, typename... A>
struct Timed<R (*)(A...)> {
  template <size_t I>
  struct At {
    static inline R (*real)(A...) = nullptr;
    static R call(A... args) {
      double start = seconds();
      if constexpr (std::is_void_v<R>) {
        real(args...);
        tallies[I].time += seconds() - start;
        tallies[I].calls++;
      } else {
        R result = real(args...);
        tallies[I].time += seconds() - start;
        tallies[I].calls++;
        return result;
      }
    }
  };
};

template <size_t I, typename F>
void time_entry(F& slot, const char* name) {
  if (tallies.size() <= I) tallies.resize(I + 1);
  tallies[I] = {name, 0, 0};
  using W = typename Timed<F>::template At<I>;
  W::real = slot;
  slot = &W::call;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fwprintf(stderr, L"use: capture_profile DIRECTORY\n");
    return 2;
  }
  time_entry<0>(win32_api.GetFileAttributesW, "GetFileAttributesW");
  time_entry<1>(win32_api.CreateFileW, "CreateFileW");
  time_entry<2>(win32_api.CloseHandle, "CloseHandle");
  time_entry<3>(win32_api.GetFileInformationByHandle, "GetFileInformationByHandle");
  time_entry<4>(win32_api.GetFileSizeEx, "GetFileSizeEx");
  time_entry<5>(win32_api.ReadFile, "ReadFile");
  time_entry<6>(win32_api.FindFirstFileW, "FindFirstFileW");
  time_entry<7>(win32_api.FindNextFileW, "FindNextFileW");
  time_entry<8>(win32_api.FindFirstStreamW, "FindFirstStreamW");
  time_entry<9>(win32_api.FindClose, "FindClose");
  time_entry<10>(win32_api.GetSecurityInfo, "GetSecurityInfo");
  time_entry<11>(win32_api.LocalFree, "LocalFree");
  time_entry<12>(win32_api.lseeki64, "_lseeki64");
  time_entry<13>(win32_api.write, "_write");
  time_entry<14>(win32_api.WideCharToMultiByte, "WideCharToMultiByte");
  std::wstring args[] = {L"vardokeep-agent.exe", L"check", L"--source", argv[1]};
  wchar16* agent_argv[] = {reinterpret_cast<wchar16*>(args[0].data()), reinterpret_cast<wchar16*>(args[1].data()),
                           reinterpret_cast<wchar16*>(args[2].data()), reinterpret_cast<wchar16*>(args[3].data()),
                           nullptr};
  double start = seconds();
  agent_main(4, agent_argv);
  double total = seconds() - start;
  double in_calls = 0;
  fprintf(stderr, "%-28s %10s %9s %7s %9s\n", "call", "calls", "seconds", "share", "us/call");
  for (const Tally& t : tallies) {
    in_calls += t.time;
    fprintf(stderr, "%-28s %10llu %9.3f %6.1f%% %9.1f\n", t.name, t.calls, t.time, 100 * t.time / total,
            t.calls == 0 ? 0.0 : 1e6 * t.time / static_cast<double>(t.calls));
  }
  fprintf(stderr, "%-28s %10s %9.3f %6.1f%%\n", "the agent's own work", "", total - in_calls,
          100 * (total - in_calls) / total);
  fprintf(stderr, "%-28s %10s %9.3f\n", "check in total", "", total);
  fprintf(stderr, "seconds=%.6f\n", total);
  return 0;
}

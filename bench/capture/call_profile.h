// Where a run of the agent spends its time under Wine: every capture call of
// the win32_api table is timed, the runtime's reads and writes apart for the
// manifest and for the server (with --stdio, descriptors 0 and 1; reading the
// server's answers is waiting for the server), and the table printed after the
// run. What no call accounts for is the agent's own
// work (hashing and compression included). Shared by capture_profile.exe and
// backup_profile.exe.
#pragma once
#include <windows.h>

#include <cstdio>
#include <type_traits>
#include <vector>

#include "agent/platform/win32/win32_api.h"
#include "agent/run_control/process_resources.h"

namespace call_profile {

inline double seconds() {
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
inline std::vector<Tally> tallies;

inline void count(size_t index, double start) {
  tallies[index].time += seconds() - start;
  tallies[index].calls++;
}

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
        count(I, start);
      } else {
        R result = real(args...);
        count(I, start);
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

enum : size_t { kWriteManifest = 14, kReadManifest, kWriteServer, kReadServer, kTallies };
inline int (*real_read)(int, void*, unsigned) = nullptr;
inline int (*real_write)(int, const void*, unsigned) = nullptr;

inline int timed_read(int fd, void* buffer, unsigned length) {
  double start = seconds();
  int result = real_read(fd, buffer, length);
  count(fd == manifest_fd ? kReadManifest : kReadServer, start);
  return result;
}

inline int timed_write(int fd, const void* data, unsigned length) {
  double start = seconds();
  int result = real_write(fd, data, length);
  count(fd == manifest_fd ? kWriteManifest : kWriteServer, start);
  return result;
}

inline void time_agent_calls() {
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
  time_entry<13>(win32_api.WideCharToMultiByte, "WideCharToMultiByte");
  tallies.resize(kTallies);
  tallies[kWriteManifest] = {"_write (manifest)", 0, 0};
  tallies[kReadManifest] = {"_read (manifest upload)", 0, 0};
  tallies[kWriteServer] = {"_write (to the server)", 0, 0};
  tallies[kReadServer] = {"waiting for the server", 0, 0};
  real_read = win32_api.read;
  real_write = win32_api.write;
  win32_api.read = timed_read;
  win32_api.write = timed_write;
}

inline void print_row(const Tally& t, double total) {
  fprintf(stderr, "%-28s %10llu %9.3f %6.1f%% %9.1f\n", t.name, t.calls, t.time, 100 * t.time / total,
          t.calls == 0 ? 0.0 : 1e6 * t.time / static_cast<double>(t.calls));
}

// The table, with the reads of the server's answers, the time spent waiting
// for the server, below the agent's own work (a write to the server may wait
// too, on a full pipe); `run` names the run in the last line.
inline void print(double total, const char* run) {
  double in_calls = 0;
  fprintf(stderr, "%-28s %10s %9s %7s %9s\n", "call", "calls", "seconds", "share", "us/call");
  for (size_t i = 0; i < kReadServer; ++i) {
    in_calls += tallies[i].time;
    print_row(tallies[i], total);
  }
  double waiting = tallies[kReadServer].time;
  double own = total - in_calls - waiting;
  fprintf(stderr, "%-28s %10s %9.3f %6.1f%%\n", "the agent's own work", "", own, 100 * own / total);
  print_row(tallies[kReadServer], total);
  fprintf(stderr, "%-28s %10s %9.3f\n", run, "", total);
  fprintf(stderr, "seconds=%.6f\nseconds_without_server=%.6f\n", total, total - waiting);
}

}  // namespace call_profile

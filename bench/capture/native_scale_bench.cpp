// The portable core's check at scale, without Wine: a tree made by
// make_small_tree is loaded into the substitute volume, and the agent's own
// check runs over it in this process. Prints entries, chunks, the manifest's
// size, the time of check (wall and CPU) and how far the process's peak
// resident memory rose during check. The substitute holds the manifest in
// memory (in a vector that doubles as it grows), so that rise includes the
// manifest itself; the agent's own share is the rest.
//
//   native_scale_bench TREE [MANIFEST-COPY]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "agent/platform/substitute/substitute_volume.h"
#include "agent/run_control/agent_main.h"
#include "bench/capture/substitute_tree.h"

namespace fs = std::filesystem;

namespace {

long peak_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string field(const std::string& text, const std::string& name) {
  size_t at = text.find("\n" + name + "=");
  if (at == std::string::npos) return "0";
  size_t end = text.find('\n', at + 1);
  return text.substr(at + name.size() + 2, end - at - name.size() - 2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "use: native_scale_bench TREE [MANIFEST-COPY]\n");
    return 2;
  }
  fs::path root = argv[1];
  load_tree_into_substitute(root, [](size_t) {});
  // The substitute logs every call; emptied at each open, the log holds one
  // entry's calls at most, so that what grows is the agent's.
  substitute.hooks.push_back({"CreateFileW", u"", 0, [] { substitute.calls.clear(); }, 0});

  // The agent's standard error goes to a file, read back for the summary.
  fflush(stderr);
  FILE* report = tmpfile();
  int saved = dup(2);
  dup2(fileno(report), 2);
  std::vector<std::u16string> args = {u"vardokeep-agent", u"check", u"--source", u"C:\\src"};
  std::vector<wchar16*> argv16;
  for (auto& a : args) argv16.push_back(reinterpret_cast<wchar16*>(a.data()));
  argv16.push_back(nullptr);
  long before = peak_kib();
  double cpu = cpu_seconds();
  auto start = std::chrono::steady_clock::now();
  int code = agent_main(static_cast<int>(args.size()), argv16.data());
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cpu = cpu_seconds() - cpu;
  long after = peak_kib();
  fflush(stderr);
  dup2(saved, 2);
  std::string text = "\n";
  rewind(report);
  for (int c; (c = fgetc(report)) != EOF;) text += static_cast<char>(c);
  if (code != 0) {
    fprintf(stderr, "check failed:%s", text.c_str());
    return 1;
  }
  if (argc == 3) {
    for (const auto& [path, content] : substitute.deleted_files) {
      if (path.find(u"vardo-agent-") == std::u16string::npos) continue;
      std::ofstream out(argv[2], std::ios::binary);
      out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    }
  }
  fprintf(stderr, "files=%s\ndirectories=%s\nchunks_checked=%s\nmanifest_bytes=%s\n", field(text, "files").c_str(),
          field(text, "directories").c_str(), field(text, "chunks_checked").c_str(),
          field(text, "manifest_bytes").c_str());
  fprintf(stderr, "seconds=%.6f\ncpu_seconds=%.6f\npeak_rise_kib=%ld\npeak_kib=%ld\n", wall, cpu, after - before,
          after);
  return 0;
}

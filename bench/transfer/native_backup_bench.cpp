// The portable core's cost per chunk, without Wine: the tree is held by the
// substitute volume, and the agent's own backup runs in this process with
// --stdio joined by pipes to the reference server (a child process). Beside it
// a loop makes only the work that a backup must do per chunk (read, slot write,
// XXH3, BLAKE3, LZ4 and frame write when missing, ID write) over the same bytes.
// CPU time is that of the thread that runs the work, so neither the server
// nor the loops' drain thread (which stands in for the server) is counted.
//
//   native_backup_bench TREE REFSERVER SCRATCH RUNS
#include <blake3.h>
#include <fcntl.h>
#include <lz4.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "agent/capture/chunk_batch.h"
#include "agent/platform/substitute/substitute_volume.h"
#include "agent/run_control/agent_main.h"
#include "agent/transfer/server_channel.h"
#include "bench/capture/substitute_tree.h"

namespace fs = std::filesystem;

namespace {

struct Sample {
  double wall;
  double cpu;
};

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);  // this thread: the drain thread of the loops reads apart
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

uint64_t total_bytes = 0, total_chunks = 0, total_files = 0;
std::vector<const std::vector<uint8_t>*> contents;  // in walk order
std::vector<std::u16string> file_paths;             // the same files, by name
// A first backup sends each distinct chunk once: the first time it is seen.
std::vector<bool> first_sight;

// Directories before their contents, names in order: near enough to the walk.
void load_tree(const fs::path& root) {
  load_tree_into_substitute(root, [](size_t size) {
    total_bytes += size;
    total_chunks += (size + 4095) / 4096;
    ++total_files;
  });
  for (const auto& [key, entry] : substitute.entries) {
    if ((entry.attributes & WIN_FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    contents.push_back(&entry.content);
    file_paths.push_back(key);
  }
  std::set<std::pair<uint64_t, uint64_t>> seen;
  for (const auto* content : contents) {
    for (size_t at = 0; at < content->size(); at += 4096) {
      size_t len = std::min<size_t>(4096, content->size() - at);
      XXH128_hash_t h = XXH3_128bits(content->data() + at, len);
      first_sight.push_back(seen.insert({h.low64, h.high64 ^ len}).second);
    }
  }
}

std::string summary_of(const std::string& text, const std::string& name) {
  size_t at = text.find(name + "=");
  if (at == std::string::npos) return "?";
  size_t end = text.find('\n', at);
  return text.substr(at + name.size() + 1, end - at - name.size() - 1);
}

// One backup of C:\src to the store; the agent's reports are kept for checks.
Sample agent_backup(const std::string& refserver, const std::string& store, std::string* report) {
  int to_server[2], from_server[2];
  if (pipe(to_server) != 0 || pipe(from_server) != 0) abort();
  // Spawned, not forked: a fork would leave this process's pages copy-on-write
  // and charge the copies to the agent's time.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_server[0], 0);
  posix_spawn_file_actions_adddup2(&actions, from_server[1], 1);
  for (int fd : {to_server[0], to_server[1], from_server[0], from_server[1]}) {
    posix_spawn_file_actions_addclose(&actions, fd);
  }
  std::string receive = "receive", option = "--store";
  char* server_argv[] = {const_cast<char*>(refserver.c_str()), receive.data(), option.data(),
                         const_cast<char*>(store.c_str()), nullptr};
  pid_t server = -1;
  if (posix_spawn(&server, refserver.c_str(), &actions, nullptr, server_argv, environ) != 0) abort();
  posix_spawn_file_actions_destroy(&actions);
  close(to_server[0]);
  close(from_server[1]);
  server_channel = ServerChannel{to_server[1], from_server[0]};
  substitute.calls.clear();

  std::string err_path = store + ".err";
  int saved_err = dup(2);
  int err = open(err_path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  dup2(err, 2);
  close(err);
  std::vector<std::u16string> args = {u"vardokeep-agent.exe", u"backup", u"--source", u"C:\\src", u"--stdio"};
  std::vector<wchar16*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  double wall = wall_seconds(), cpu = cpu_seconds();
  int code = agent_main(static_cast<int>(args.size()), argv.data());
  Sample sample{wall_seconds() - wall, cpu_seconds() - cpu};
  dup2(saved_err, 2);
  close(saved_err);
  int status = 0;
  waitpid(server, &status, 0);
  std::ifstream in(err_path);
  report->assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (code != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "backup failed: %s\n", report->c_str());
    exit(1);
  }
  return sample;
}

// Only the work a backup must do per chunk, batch by batch as the agent does;
// with `missing`, the chunks a first backup sends are compressed and framed.
// `seam`: the reads and the slot and ID writes go through the platform seam
// (here the substitute volume), as the agent's do; otherwise they are plain
// memory copies.
Sample mandated_loop(bool missing, bool seam, int sink) {
  static uint8_t batch[256 * 4096];
  static uint8_t descriptors[256 * 52];
  static uint8_t frame[4 + 4096];
  static std::vector<uint8_t> manifest;
  static const uint8_t zero[8] = {};
  manifest.assign(8 + 8 * total_chunks, 0);
  int manifest_fd = -1;
  if (seam) {
    PlatformHandle h = platform_create_file(u"C:\\Temp\\bench-manifest.tmp", WIN_GENERIC_READ | WIN_GENERIC_WRITE, 0,
                                            WIN_CREATE_NEW, WIN_FILE_ATTRIBUTE_TEMPORARY | WIN_FILE_FLAG_DELETE_ON_CLOSE);
    manifest_fd = platform_open_descriptor(h, PLATFORM_O_BINARY | PLATFORM_O_RDWR);
  }
  auto slot_write = [&](uint64_t offset, const void* bytes) {
    if (seam) {
      platform_seek(manifest_fd, static_cast<int64_t>(offset));
      platform_write(manifest_fd, bytes, 8);
    } else {
      memcpy(manifest.data() + offset, bytes, 8);
    }
  };
  uint32_t lengths[256];
  uint64_t slots[256];
  bool sends[256];
  uint32_t count = 0;
  size_t chunk_index = 0;
  uint64_t slot = 8;
  blake3_hasher hasher;
  auto flush = [&] {
    for (uint32_t j = 0; j < count; ++j) {
      uint8_t* d = descriptors + 52 * j;
      memcpy(d, &lengths[j], 4);
      XXH128_hash_t h = XXH3_128bits(batch + 4096 * j, lengths[j]);
      memcpy(d + 4, &h.low64, 8);
      memcpy(d + 12, &h.high64, 8);
      blake3_hasher_init(&hasher);
      blake3_hasher_update(&hasher, batch + 4096 * j, lengths[j]);
      blake3_hasher_finalize(&hasher, d + 20, 32);
    }
    if (write(sink, descriptors, 52 * count) < 0) abort();
    if (missing) {
      for (uint32_t j = 0; j < count; ++j) {
        if (!sends[j]) continue;
        uint32_t len = lengths[j];
        int packed = len < 2 ? 0
                             : LZ4_compress_default(reinterpret_cast<const char*>(batch + 4096 * j),
                                                    reinterpret_cast<char*>(frame + 4), static_cast<int>(len),
                                                    static_cast<int>(len - 1));
        uint32_t l = packed > 0 ? static_cast<uint32_t>(packed) : len;
        if (packed <= 0) memcpy(frame + 4, batch + 4096 * j, len);
        memcpy(frame, &l, 4);
        if (write(sink, frame, 4 + l) < 0) abort();
      }
    }
    for (uint32_t j = 0; j < count; ++j) slot_write(slots[j], &slots[j]);
    count = 0;
  };
  double wall = wall_seconds(), cpu = cpu_seconds();
  for (size_t f = 0; f < contents.size(); ++f) {
    const auto* content = contents[f];
    PlatformHandle handle = nullptr;
    if (seam) {
      handle = platform_create_file(file_paths[f].c_str(), WIN_GENERIC_READ | WIN_READ_CONTROL, WIN_FILE_SHARE_READ,
                                    WIN_OPEN_EXISTING, WIN_FILE_FLAG_SEQUENTIAL_SCAN | WIN_FILE_FLAG_BACKUP_SEMANTICS);
    }
    for (size_t at = 0; at < content->size(); at += 4096) {
      uint32_t len = static_cast<uint32_t>(std::min<size_t>(4096, content->size() - at));
      if (seam) {
        uint32_t got = 0;
        platform_read_file(handle, batch + 4096 * count, len, &got);
      } else {
        memcpy(batch + 4096 * count, content->data() + at, len);
      }
      lengths[count] = len;
      sends[count] = first_sight[chunk_index++];
      slots[count] = slot;
      slot_write(slot, zero);
      slot += 8;
      if (++count == 256) flush();
    }
    if (seam) platform_close_handle(handle);
  }
  if (count > 0) flush();
  Sample sample{wall_seconds() - wall, cpu_seconds() - cpu};
  if (seam) platform_close(manifest_fd);
  substitute.calls.clear();
  return sample;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void print(const char* name, const std::vector<Sample>& samples) {
  std::vector<double> wall, cpu;
  for (const auto& s : samples) wall.push_back(s.wall), cpu.push_back(s.cpu);
  double w = median(wall), c = median(cpu);
  printf("%-30s wall %7.3f s %8.1f MB/s | cpu %7.3f s %8.1f MB/s %7.0f ns/chunk\n", name, w, total_bytes / w / 1e6, c,
         total_bytes / c / 1e6, c / static_cast<double>(total_chunks) * 1e9);
}

double cpu_median(const std::vector<Sample>& samples) {
  std::vector<double> cpu;
  for (const auto& s : samples) cpu.push_back(s.cpu);
  return median(cpu);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "use: native_backup_bench TREE REFSERVER SCRATCH RUNS\n");
    return 2;
  }
  const std::string refserver = argv[2], scratch = argv[3];
  const int runs = atoi(argv[4]);
  load_tree(argv[1]);
  printf("tree: %llu files, %llu chunks, %llu bytes in the substitute volume; medians of %d runs\n",
         static_cast<unsigned long long>(total_files), static_cast<unsigned long long>(total_chunks),
         static_cast<unsigned long long>(total_bytes), runs);

  std::vector<Sample> first, known, loop_first, loop_known;
  std::string report;
  // VK_NATIVE_PROFILE=known: only all-known backups after one first run, for perf.
  if (const char* profile = getenv("VK_NATIVE_PROFILE"); profile != nullptr && std::string(profile) == "known") {
    std::string store = scratch + "/first-profile";
    fs::remove_all(store);
    agent_backup(refserver, store, &report);
    for (int r = 0; r < runs; ++r) known.push_back(agent_backup(refserver, store, &report));
    print("agent, all chunks known", known);
    fs::remove_all(store);
    return 0;
  }
  for (int r = 0; r < runs; ++r) {
    std::string store = scratch + "/first-" + std::to_string(r);
    fs::remove_all(store);
    first.push_back(agent_backup(refserver, store, &report));
    if (summary_of(report, "chunks_checked") != std::to_string(total_chunks)) {
      fprintf(stderr, "unexpected summary: %s\n", report.c_str());
      return 1;
    }
    known.push_back(agent_backup(refserver, store, &report));
    if (summary_of(report, "chunk_bytes_sent") != "0") {
      fprintf(stderr, "known run sent chunks: %s\n", report.c_str());
      return 1;
    }
    fs::remove_all(store);
  }
  int drain[2];
  if (pipe(drain) != 0) abort();
  std::thread reader([&] {
    static char buffer[1 << 16];
    while (read(drain[0], buffer, sizeof buffer) > 0) {
    }
  });
  std::vector<Sample> seam_first, seam_known;
  for (int r = 0; r < runs; ++r) {
    loop_first.push_back(mandated_loop(true, false, drain[1]));
    loop_known.push_back(mandated_loop(false, false, drain[1]));
    seam_first.push_back(mandated_loop(true, true, drain[1]));
    seam_known.push_back(mandated_loop(false, true, drain[1]));
  }
  close(drain[1]);
  reader.join();

  print("agent, first run", first);
  print("agent, all chunks known", known);
  print("loop in memory, first run", loop_first);
  print("loop in memory, all known", loop_known);
  print("loop via the seam, first run", seam_first);
  print("loop via the seam, all known", seam_known);
  printf("speed ratio agent/loop in memory (cpu):  first run %.2f, all known %.2f (goal: at least 0.80)\n",
         cpu_median(loop_first) / cpu_median(first), cpu_median(loop_known) / cpu_median(known));
  printf("speed ratio agent/loop via the seam (cpu): first run %.2f, all known %.2f\n",
         cpu_median(seam_first) / cpu_median(first), cpu_median(seam_known) / cpu_median(known));
  return 0;
}

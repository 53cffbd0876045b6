#include "tests/transfer/support/native_backup.h"

#include <fcntl.h>
#include <lz4.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "agent/platform/substitute/substitute_volume.h"
#include "agent/transfer/server_channel.h"
#include "core/chunk_hash.h"
#include "tests/support/run_agent.h"

#ifndef VARDOKEEP_REFSERVER_PATH
#define VARDOKEEP_REFSERVER_PATH "vardokeep-refserver"
#endif

namespace {

std::u16string windows_path(const std::string& relative) {
  std::u16string path = u"C:\\src\\" + u16(relative);
  for (auto& c : path) {
    if (c == u'/') c = u'\\';
  }
  return path;
}

void big_pipe(int fds[2]) {
  if (pipe(fds) != 0) abort();
  fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
}

bool write_fully(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

int exit_status(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

void load_tree_into_substitute(const SampleTree& tree) {
  substitute_reset();
  uint64_t time = 133000000000000000ull;
  substitute_add_directory(u"C:\\src").last_write_time = time;
  for (const auto& d : tree.directories) substitute_add_directory(windows_path(d)).last_write_time = time;
  for (const auto& f : tree.files) substitute_add_file(windows_path(f.relative_path), f.content).last_write_time = time;
}

NativeBackup run_native_backup(const std::string& store, const std::vector<std::u16string>& extra,
                               const std::vector<std::string>& server_faults) {
  signal(SIGPIPE, SIG_IGN);
  int agent_out[2], agent_in[2], agent_err[2], server_in[2], server_out[2], server_err[2];
  for (int* p : {agent_out, agent_in, agent_err, server_in, server_out, server_err}) big_pipe(p);

  pid_t server = fork();
  if (server == 0) {
    dup2(server_in[0], 0);
    dup2(server_out[1], 1);
    dup2(server_err[1], 2);
    for (int* p : {agent_out, agent_in, agent_err, server_in, server_out, server_err}) close(p[0]), close(p[1]);
    for (const auto& fault : server_faults) putenv(strdup(fault.c_str()));
    execl(VARDOKEEP_REFSERVER_PATH, VARDOKEEP_REFSERVER_PATH, "receive", "--store", store.c_str(),
          "--faults-from-environment", static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_t agent = fork();
  if (agent == 0) {
    dup2(agent_err[1], 2);
    int out = dup(agent_out[1]), in = dup(agent_in[0]);
    for (int* p : {agent_out, agent_in, agent_err, server_in, server_out, server_err}) close(p[0]), close(p[1]);
    // The fatal path exits with 1 and leaves its handles to the process's end;
    // the leak check belongs to the test process, not to this stand-in.
    atexit([] { _exit(1); });
    // --stdio leaves the channel as it finds it: the test's pipes.
    server_channel = ServerChannel{out, in};
    std::vector<std::u16string> args = {u"backup", u"--source", u"C:\\src", u"--stdio"};
    args.insert(args.end(), extra.begin(), extra.end());
    _exit(run_agent(args));
  }
  close(agent_out[1]);
  close(agent_in[0]);
  close(agent_err[1]);
  close(server_in[0]);
  close(server_out[1]);
  close(server_err[1]);

  NativeBackup run;
  int to_server = server_in[1], to_agent = agent_in[1];
  bool agent_writing = true, server_writing = true, agent_err_open = true, server_err_open = true;
  uint8_t buffer[65536];
  while (agent_writing || server_writing || agent_err_open || server_err_open) {
    pollfd fds[4];
    int n = 0;
    if (agent_writing) fds[n++] = {agent_out[0], POLLIN, 0};
    if (server_writing) fds[n++] = {server_out[0], POLLIN, 0};
    if (agent_err_open) fds[n++] = {agent_err[0], POLLIN, 0};
    if (server_err_open) fds[n++] = {server_err[0], POLLIN, 0};
    if (poll(fds, static_cast<nfds_t>(n), 10000) <= 0) break;
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      bool ended = got <= 0;
      if (fds[i].fd == agent_out[0]) {
        if (!ended) run.to_server.insert(run.to_server.end(), buffer, buffer + got);
        if (ended || !write_fully(to_server, buffer, static_cast<size_t>(got))) {
          agent_writing = false;
          close(to_server);  // the server sees the agent's end of input
        }
      } else if (fds[i].fd == server_out[0]) {
        if (!ended) run.from_server.insert(run.from_server.end(), buffer, buffer + got);
        if (ended || !write_fully(to_agent, buffer, static_cast<size_t>(got))) {
          server_writing = false;
          close(to_agent);
        }
      } else if (fds[i].fd == agent_err[0]) {
        if (ended) agent_err_open = false;
        else run.err.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(got));
      } else {
        if (ended) server_err_open = false;
        else run.server_err.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(got));
      }
    }
  }
  if (agent_writing) close(to_server);
  if (server_writing) close(to_agent);
  for (int fd : {agent_out[0], server_out[0], agent_err[0], server_err[0]}) close(fd);
  int status = 0;
  waitpid(agent, &status, 0);
  run.exit_code = exit_status(status);
  waitpid(server, &status, 0);
  run.server_status = exit_status(status);
  return run;
}

namespace {

struct Reader {
  const WireBytes& bytes;
  size_t at = 0;
  bool take(size_t n, const uint8_t** p) {
    if (bytes.size() - at < n) return false;
    *p = bytes.data() + at;
    at += n;
    return true;
  }
};

uint32_t u32_at(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint64_t u64_at(const uint8_t* p) { return u32_at(p) | static_cast<uint64_t>(u32_at(p + 4)) << 32; }

}  // namespace

WireTally tally_wire(const WireBytes& to_server, const WireBytes& from_server) {
  WireTally tally;
  Reader out{to_server}, in{from_server};
  const uint8_t* p;
  auto fail = [&](const std::string& why) {
    tally.problem = why + " (agent offset " + std::to_string(out.at) + ", server offset " + std::to_string(in.at) + ")";
    return tally;
  };
  if (!out.take(9, &p) || memcmp(p, "VARDOR07\0", 9) != 0) return fail("no hello");
  if (!in.take(8, &p) || memcmp(p, "VARDOR07", 8) != 0) return fail("no hello answer");
  for (;;) {
    if (!out.take(1, &p)) return fail("no message type");
    if (*p == 0x02) break;
    if (*p != 0x01) return fail("unknown message type");
    if (!out.take(4, &p)) return fail("short batch header");
    uint32_t n = u32_at(p);
    if (n == 0 || n > 2048) return fail("batch size");
    ++tally.batches;
    tally.chunks += n;
    if (n > tally.largest_batch) tally.largest_batch = n;
    const uint8_t* descriptors;
    if (!out.take(52ull * n, &descriptors)) return fail("short descriptors");
    const uint8_t* bitmap;
    if (!in.take(n, &bitmap)) return fail("short bitmap");
    for (uint32_t j = 0; j < n; ++j) {
      if (bitmap[j] != 0) continue;
      const uint8_t* d = descriptors + 52ull * j;
      uint32_t length = u32_at(d);
      if (!out.take(4, &p)) return fail("short frame header");
      uint32_t l = u32_at(p);
      const uint8_t* payload;
      if (l > length || !out.take(l, &payload)) return fail("bad frame length");
      std::vector<uint8_t> chunk(length);
      if (l == length) {
        ++tally.raw_frames;
        memcpy(chunk.data(), payload, l);
      } else if (LZ4_decompress_safe(reinterpret_cast<const char*>(payload), reinterpret_cast<char*>(chunk.data()),
                                     static_cast<int>(l), static_cast<int>(length)) != static_cast<int>(length)) {
        return fail("LZ4 block does not give the chunk's length");
      }
      ChunkXxh3 h = chunk_xxh3_128(chunk.data(), chunk.size());
      uint8_t blake[32];
      chunk_blake3(chunk.data(), chunk.size(), blake);
      if (u64_at(d + 4) != h.low || u64_at(d + 12) != h.high || memcmp(d + 20, blake, 32) != 0) {
        return fail("payload does not match its descriptor");
      }
      ++tally.frames;
      tally.frame_chunk_bytes += length;
      tally.frame_wire_bytes += 4 + l;
    }
    if (!in.take(8ull * n, &p)) return fail("short chunk IDs");
  }
  if (!out.take(8, &p)) return fail("short final message");
  tally.manifest_length = u64_at(p);
  if (!out.take(tally.manifest_length, &p)) return fail("short manifest");
  if (!in.take(129, &p)) return fail("short confirmation");
  if (out.at != to_server.size() || in.at != from_server.size()) return fail("bytes after the conversation");
  tally.complete = true;
  return tally;
}

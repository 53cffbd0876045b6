#include "tests/transfer/scripted_peer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

ScriptedPeer::ScriptedPeer() {
  // The agent runs on Windows, where writing to a closed pipe is an error return.
  signal(SIGPIPE, SIG_IGN);
  int sockets[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sockets) != 0) abort();
  agent_out = sockets[0];
  peer_in = sockets[1];
  int size = 8 << 20;
  if (setsockopt(agent_out, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(agent_out, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
  setsockopt(peer_in, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  fcntl(peer_in, F_SETFL, O_NONBLOCK);
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) abort();
  agent_in = pipe_fds[0];
  peer_out = pipe_fds[1];
  fcntl(peer_out, F_SETPIPE_SZ, 1 << 20);
}

ScriptedPeer::~ScriptedPeer() {
  for (int fd : {agent_out, peer_in, agent_in, peer_out}) {
    if (fd >= 0) close(fd);
  }
}

void ScriptedPeer::answer(const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(peer_out, bytes.data() + done, bytes.size() - done);
    if (n <= 0) abort();
    done += static_cast<size_t>(n);
  }
}

void ScriptedPeer::hang_up() {
  close(peer_out);
  peer_out = -1;
}

std::vector<Bytes> ScriptedPeer::packets() {
  std::vector<Bytes> result;
  Bytes buffer(1 << 17);
  for (;;) {
    ssize_t n = recv(peer_in, buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    result.emplace_back(buffer.begin(), buffer.begin() + n);
  }
  return result;
}

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes concat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes u32le(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

Bytes u64le(uint64_t v) {
  Bytes b;
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return b;
}

int make_temp_file(std::string* path) {
  char name[] = "/tmp/vardokeep-transfer-test-XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) abort();
  *path = name;
  return fd;
}

Bytes read_whole_file(const std::string& path) {
  Bytes all;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return all;
  uint8_t buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) all.insert(all.end(), buffer, buffer + n);
  fclose(f);
  return all;
}

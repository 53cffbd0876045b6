// A server stand-in on real descriptors for the protocol tests. The agent writes
// into a SOCK_SEQPACKET socket, so each of its write calls arrives as one packet
// and tests can see how a message was cut; it reads from a 1 MiB pipe that the
// test fills with the server's answers beforehand (the agent writes a whole
// message before it reads, so answers can wait in the pipe).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct ScriptedPeer {
  int agent_out = -1;  // the agent's end towards the server
  int peer_in = -1;    // where the test reads the agent's packets
  int agent_in = -1;   // the agent's end from the server
  int peer_out = -1;   // where the test writes answers

  ScriptedPeer();
  ~ScriptedPeer();
  void answer(const Bytes& bytes);
  // The server's side ends: the agent reads the end of the stream after the answers.
  void hang_up();
  // Every packet written so far, in order (does not wait).
  std::vector<Bytes> packets();
};

Bytes bytes_of(const std::string& text);
Bytes concat(const std::vector<Bytes>& parts);
Bytes u32le(uint32_t v);
Bytes u64le(uint64_t v);
// A real temporary file, so a death test's parent can read what the child wrote.
int make_temp_file(std::string* path);
Bytes read_whole_file(const std::string& path);

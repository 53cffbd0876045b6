// A whole backup run of the agent's logic over the substitute volume, joined by
// pipes to the real reference server. The agent runs in a forked child, as it
// would run as a process: a fatal error ends the child, not the test. The test
// process relays both directions and keeps every byte for the wire tally.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tests/transfer/support/sample_tree.h"

using WireBytes = std::vector<uint8_t>;

struct NativeBackup {
  int exit_code = -1;
  std::string err;            // the agent's standard error
  int server_status = -1;
  std::string server_err;
  WireBytes to_server;        // everything the agent wrote
  WireBytes from_server;      // everything the server answered
};

// Fills the substitute volume with the tree below C:\src.
void load_tree_into_substitute(const SampleTree& tree);
// backup --source C:\src --stdio [extra], the server "receive --store" with the
// given fault variables in its environment.
NativeBackup run_native_backup(const std::string& store, const std::vector<std::u16string>& extra = {},
                               const std::vector<std::string>& server_faults = {});

// The conversation read back from the two byte streams by the documented
// layouts, independently of the agent's code.
struct WireTally {
  bool complete = false;       // hello to confirmation, nothing left over
  std::string problem;         // why not
  uint64_t batches = 0;
  uint64_t chunks = 0;         // described
  uint64_t frames = 0;
  uint64_t raw_frames = 0;
  uint64_t frame_chunk_bytes = 0;  // the described lengths of the chunks sent
  uint64_t frame_wire_bytes = 0;   // 4 + L per frame
  uint64_t manifest_length = 0;
  uint32_t largest_batch = 0;
};
WireTally tally_wire(const WireBytes& to_server, const WireBytes& from_server);

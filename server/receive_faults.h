// Faults that `receive` can be told to commit, so the agent's failure paths
// can be driven against a real peer. All off by default. Read from the
// environment (variables VARDOKEEP_FAULT_*; see server/README.md).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

enum class CloseAt { never, hello, bitmap, ids, confirmation };

enum class ConfirmationFault { none, no_nul, empty_name, bad_name, longest_name, trailing_bytes };

struct ReceiveFaults {
  bool exit_code_set = false;
  int exit_code = 0;                // exit status once the client has closed
  unsigned linger_seconds = 0;      // stay alive this long after the client closed
  CloseAt close_at = CloseAt::never;
  uint32_t close_at_batch = 1;      // for bitmap and ids: which batch, from 1
  bool hello_answer_set = false;
  char hello_answer[8] = {};
  bool bitmap_fault = false;        // one bitmap byte replaced
  uint32_t bitmap_position = 0;
  uint8_t bitmap_value = 0;
  bool chunk_id_fault = false;      // one chunk ID of the first batch replaced
  uint32_t chunk_id_position = 0;
  uint64_t chunk_id_value = 0;
  ConfirmationFault confirmation = ConfirmationFault::none;
};

// Reads VARDOKEEP_FAULT_* into `faults`; false with a message on a bad value.
bool read_receive_faults_from_environment(ReceiveFaults* faults, std::string* error);

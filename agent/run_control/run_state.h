// Process-wide records of one run: the parsed options, the counters of the
// summary and the paths that the walk reads. Every piece of mutable run state
// is defined in run_state.cpp, whichever header declares it, so that one reset
// covers all of it.
#pragma once
#include <cstdint>

#include "agent/platform/platform.h"

struct RunOptions {
  char* source = nullptr;       // --source, UTF-8; required
  char* ssh_config = nullptr;   // --ssh-config; required for backup without --stdio
  char* destination = nullptr;  // --destination; required for backup without --stdio
  bool stdio = false;           // --stdio: the server channel is descriptors 1 and 0
  bool vss_writers = false;     // --vss-writers: capture from a shadow copy
};

struct RunCounters {
  uint64_t files = 0;
  uint64_t directories = 0;
  uint64_t alternate_streams = 0;
  uint64_t reparse_placeholders = 0;
  uint64_t chunks_checked = 0;
  uint64_t chunk_bytes_sent = 0;
  uint64_t chunk_wire_bytes_sent = 0;
};

constexpr uint32_t EXCLUSION_LIST_MAX = 64;
struct ExclusionList {
  uint32_t count = 0;
  char* prefixes[EXCLUSION_LIST_MAX] = {};
};

constexpr uint32_t CANONICAL_PATH_UNITS = 32768;

extern RunOptions run_options;
extern RunCounters run_counters;
extern bool check_mode;
extern ExclusionList exclusion_list;
extern wchar16* source_root;  // "\\?\" long form, or its counterpart in a shadow copy
extern wchar16 manifest_canonical_path[CANONICAL_PATH_UNITS];
// The manifest's path as the walk meets it, spelled from source_root; null
// when the manifest does not lie inside the source (malloc).
extern wchar16* manifest_in_source;

// Back to the state of a fresh process; native tests run several runs in one.
// Owned memory is freed; handles and descriptors are forgotten, not closed
// (their owners or fatal_error close them).
void reset_run_state();

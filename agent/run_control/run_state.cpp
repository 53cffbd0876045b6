#include "agent/run_control/run_state.h"

#include <cstdlib>

RunOptions run_options;
RunCounters run_counters;
bool check_mode = false;
ExclusionList exclusion_list;
wchar16* source_root = nullptr;
wchar16 manifest_canonical_path[CANONICAL_PATH_UNITS];
wchar16* manifest_in_source = nullptr;

void reset_run_state() {
  free(run_options.source);
  free(run_options.ssh_config);
  free(run_options.destination);
  run_options = RunOptions{};
  run_counters = RunCounters{};
  check_mode = false;
  for (uint32_t i = 0; i < exclusion_list.count; ++i) free(exclusion_list.prefixes[i]);
  exclusion_list = ExclusionList{};
  free(source_root);
  source_root = nullptr;
  manifest_canonical_path[0] = 0;
  free(manifest_in_source);
  manifest_in_source = nullptr;
}

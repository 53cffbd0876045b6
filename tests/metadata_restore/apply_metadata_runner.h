// Runs apply_metadata over the substitute volume in a child process, so that a
// fatal exit ends only the child, and brings back what the run did: exit code,
// standard error, the calls it made and the entries as the run left them.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "agent/platform/substitute/substitute_volume.h"

struct ApplyOutcome {
  int exit_code = -1;
  std::string err;
  std::vector<SubstituteCall> calls;
  std::map<std::u16string, SubstituteEntry, CaseInsensitiveLess> entries;

  // Paths (substitute keys) of the calls of one operation, in order.
  std::vector<std::string> paths_of(const std::string& operation) const;
  std::vector<const SubstituteCall*> calls_of(const std::string& operation) const;
  const SubstituteEntry& entry(const std::u16string& path) const;
};

// argv: "vardokeep-agent", "apply-metadata" and then these arguments.
ApplyOutcome run_apply_metadata(const std::vector<std::string>& arguments);

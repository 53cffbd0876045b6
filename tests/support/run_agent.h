// Runs the agent's entry over the substitute volume, as the test process itself.
// A failing run exits the process: wrap such runs in EXPECT_EXIT.
#pragma once
#include <string>
#include <vector>

#include "agent/platform/substitute/substitute_volume.h"
#include "agent/run_control/agent_main.h"

inline int run_agent(const std::vector<std::u16string>& args) {
  std::vector<std::u16string> storage;
  storage.push_back(u"vardokeep-agent.exe");
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<wchar16*> argv;
  for (auto& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);
  return agent_main(static_cast<int>(storage.size()), argv.data());
}

// The real file system under Wine as a scenario volume: trees under the
// prefix's temporary directory, the walk's opens seen through win32_api.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "tests/capture/scenarios/capture_scenarios.h"

std::wstring wide_of(const std::string& utf8);
std::string utf8_of(const std::wstring& wide);
// The per-process directory that holds the trees this process builds.
std::wstring scenario_parent();
// Removes the trees of this process and of the death tests' children (whose
// walk still held directories open when they exited).
void remove_all_scenario_trees();
void remove_tree(const std::wstring& path);

struct Win32ScenarioVolume : ScenarioVolume {
  std::wstring root;
  bool models_ntfs() const override { return false; }
  void reset(const std::string& scenario) override;
  std::u16string source() const override;
  void directory(const std::string& path) override;
  void file(const std::string& path, const std::string& content) override;
  void hold_for_writing(const std::string& path) override;
  void stream(const std::string&, const std::string&, const std::string&) override;
  void reparse_point(const std::string&, const std::vector<uint8_t>&, bool) override;
  void encrypt(const std::string&) override;
  void observe() override;
  std::vector<ObservedOpen> opens() const override;
  std::string manifest() const override;
  // The long form of a relative path ("." is the root).
  std::wstring long_path(const std::string& relative) const;
};

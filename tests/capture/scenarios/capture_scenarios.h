// One scenario suite for two volumes: the substitute (natively) and the real
// file system through the Win32 adapter (under Wine). Each scenario builds a
// tree, runs check over it, and states what must be opened (with exactly the
// access, sharing and flags of its kind), recorded and counted, or the line
// the run must end with. Scenarios that need NTFS features Wine lacks (named
// streams, reparse points, encryption) run on the substitute only.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "agent/platform/platform.h"

enum class EntryKind { directory, file, reparse_file, reparse_directory, stream };

// The walk's opens by kind: access, sharing, flags.
struct OpenMode {
  uint32_t access;
  uint32_t share;
  uint32_t flags;
};
OpenMode expected_open_mode(EntryKind kind);

// A CreateFileW of an existing entry under the source, with the path in the
// manifest's relative form ("." for the root, "a/b", "f:s" for a stream).
struct ObservedOpen {
  std::string path;
  OpenMode mode;
};

// Relative paths below use "/" and UTF-8.
struct ScenarioVolume {
  virtual ~ScenarioVolume() = default;
  virtual bool models_ntfs() const = 0;
  // A fresh, empty source directory for the named scenario.
  virtual void reset(const std::string& scenario) = 0;
  // The source as given to --source.
  virtual std::u16string source() const = 0;
  virtual void directory(const std::string& path) = 0;
  virtual void file(const std::string& path, const std::string& content) = 0;
  // Another party holds the file open for writing (sharing reading and writing).
  virtual void hold_for_writing(const std::string& path) = 0;
  virtual void stream(const std::string& owner, const std::string& name, const std::string& content) = 0;
  virtual void reparse_point(const std::string& path, const std::vector<uint8_t>& data, bool directory) = 0;
  virtual void encrypt(const std::string& path) = 0;
  // From now on, record the walk's opens; what was recorded so far.
  virtual void observe() = 0;
  virtual std::vector<ObservedOpen> opens() const = 0;
  // The bytes of the last run's manifest, kept when the run closed it.
  virtual std::string manifest() const = 0;
};

struct ExpectedEntry {
  std::string path;
  EntryKind kind;
};

struct CaptureScenario {
  std::string name;
  bool needs_ntfs;
  void (*build)(ScenarioVolume&);
  std::vector<std::u16string> options;
  std::vector<ExpectedEntry> entries;  // opened and recorded, each once
  uint64_t files, directories, alternate_streams, reparse_placeholders, chunks_checked;
  std::string failure;  // the fatal line's regex after "vardokeep-agent: ", or empty
};

const std::vector<CaptureScenario>& capture_scenarios();

// Runs check over the scenario's tree and asserts its expectations (gtest).
void check_scenario(const CaptureScenario& scenario, ScenarioVolume& volume);

// Argument vector for agent_main.
int run_agent_with(const std::vector<std::u16string>& args);

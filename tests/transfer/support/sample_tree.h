// Generated source trees for backup round trips: nested directories, empty
// files and directories, the chunk boundary sizes, non-ASCII names, and both
// compressible and random content, deterministic for a seed.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct SampleFile {
  std::string relative_path;  // "/" between components
  std::vector<uint8_t> content;
};

struct SampleTree {
  std::vector<SampleFile> files;
  std::vector<std::string> directories;  // relative, the root excluded
};

// The tree that the round trips back up; `scale` multiplies the large files.
SampleTree sample_tree(uint32_t seed, uint32_t scale = 1);
// Writes it below `root` (created if missing).
void write_sample_tree(const SampleTree& tree, const std::string& root);

struct ChunkTotals {
  uint64_t chunks = 0;                 // sum of ceil(size / 4096)
  uint64_t distinct_chunks = 0;        // different chunk contents
  uint64_t distinct_chunk_bytes = 0;   // their lengths added up
};
ChunkTotals chunk_totals(const SampleTree& tree);

// The value of "name=" in key=value report lines, or "" when absent.
std::string report_value(const std::string& report, const std::string& name);

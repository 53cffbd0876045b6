// Shared by the capture tests over the substitute volume: a source tree at
// C:\src, a check run over it with its summary and its manifest, and bytes
// built by hand from the documented layouts.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "agent/capture/chunk_batch.h"
#include "agent/platform/substitute/substitute_volume.h"
#include "core/manifest_reader.h"
#include "tests/support/manifest_bytes.h"
#include "tests/support/run_agent.h"

inline const std::u16string SRC = u"C:\\src";

// Handles a test opened itself and left open are closed when it ends, so that
// a test run alone leaks nothing once the volume is gone.
struct CloseLeftoverHandles : testing::EmptyTestEventListener {
  void OnTestEnd(const testing::TestInfo&) override {
    std::vector<SubstituteHandle*> open = substitute.open_handles;
    for (SubstituteHandle* h : open) platform_close_handle(h);
  }
};
inline const bool close_leftover_handles_registered = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new CloseLeftoverHandles);
  return true;
}();

// A fresh volume with an empty C:\src whose times and identity are fixed.
inline SubstituteEntry& prepare_source() {
  for (SubstituteHandle* h : substitute.open_handles) delete h;  // left open by the previous test
  substitute_reset();
  chunk_batch = ChunkBatch{};
  SubstituteEntry& root = substitute_add_directory(SRC);
  root.creation_time = 0x0102030405060708ull;
  root.last_write_time = 116444736000000000ull + 50000001ull;  // 1970 + 5 s + 100 ns
  root.file_index = 0x0000000500000007ull;
  return root;
}

struct CheckRun {
  std::map<std::string, uint64_t> summary;
  Bytes manifest;
};

inline std::vector<std::u16string> check_args(const std::vector<std::u16string>& extra) {
  std::vector<std::u16string> args = {u"check", u"--source", SRC};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// For EXPECT_EXIT: the run's standard error stays the death test's to read.
inline int check_failing(const std::vector<std::u16string>& extra = {}) { return run_agent(check_args(extra)); }

// What the core's reader says of a manifest that check wrote (zero slots).
inline std::string reader_verdict(const Bytes& manifest) {
  ManifestSource source = manifest_memory_source(manifest.data(), manifest.size());
  std::string error;
  ManifestStatus status = manifest_validate(&source, ManifestSlotRule::zero, &error);
  return status == ManifestStatus::ok ? "ok" : error;
}

// Runs check --source C:\src with the extra options; the run must succeed and
// its manifest must satisfy the core's reader.
inline CheckRun run_check(const std::vector<std::u16string>& extra = {}, bool readable = true) {
  testing::internal::CaptureStderr();
  int code = run_agent(check_args(extra));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(0, code) << err;
  CheckRun run;
  size_t at = 0;
  while (at < err.size()) {
    size_t end = err.find('\n', at);
    std::string line = err.substr(at, end - at);
    size_t equals = line.find('=');
    if (equals != std::string::npos && line.substr(0, equals) != "agent_version") {
      run.summary[line.substr(0, equals)] = std::stoull(line.substr(equals + 1));
    }
    at = end == std::string::npos ? err.size() : end + 1;
  }
  for (const auto& [path, content] : substitute.deleted_files) {
    if (path.find(u"vardo-agent-") != std::u16string::npos) run.manifest = content;
  }
  if (readable) {
    EXPECT_EQ("ok", reader_verdict(run.manifest));
  }
  return run;
}

// The substitute keys of the entries in the order their records were written:
// every record reads its security descriptor exactly once.
inline std::vector<std::u16string> record_order() {
  std::vector<std::u16string> order;
  for (const auto& call : substitute.calls) {
    if (call.operation == "GetSecurityInfo") order.push_back(call.path);
  }
  return order;
}

inline Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }
inline Bytes filled(size_t length, uint8_t seed) {
  Bytes b(length);
  for (size_t i = 0; i < length; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

// The substitute's default descriptor: owner S-1-5-32-544, group S-1-5-18, an
// empty DACL, 56 bytes.
inline Bytes default_descriptor() {
  return {0x01, 0x00, 0x04, 0x80, 20, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0, 48, 0, 0, 0,
          0x01, 0x02, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0,
          0x01, 0x01, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0,
          0x02, 0x00, 8, 0, 0, 0, 0, 0};
}

// A real file as the manifest, so that tests can read it at any moment and
// after a death test's child has died: descriptors below the substitute's own
// pass straight through to the system.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent/capture/manifest_writer.h"
#include "agent/run_control/process_resources.h"

struct DiskManifest {
  std::string path;
  DiskManifest() {
    char name[] = "/tmp/vk-capture-manifest-XXXXXX";
    manifest_fd = mkstemp(name);
    path = name;
    manifest_begin();
  }
  ~DiskManifest() {
    if (manifest_fd >= 0) close(manifest_fd);
    manifest_fd = -1;
    unlink(path.c_str());
  }
  uint64_t size() const {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  }
  Bytes bytes() const {
    Bytes out(size());
    int fd = open(path.c_str(), O_RDONLY);
    size_t at = 0;
    while (at < out.size()) {
      ssize_t n = pread(fd, out.data() + at, out.size() - at, static_cast<off_t>(at));
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    close(fd);
    return out;
  }
};

// A whole `receive` session fed from the input bytes, into a fresh store held
// in memory (store_io_memory.cpp). Whatever the client sends, the store it
// leaves must open again, hold at most the one snapshot the session may have
// filed (and it when the session succeeded), and every chunk it holds must
// read back with both hashes right; a filed snapshot must pass the checks an
// upload passes.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/receive.h"
#include "server/store.h"
#include "server/store_io.h"
#include "server/store_io_memory.h"

namespace {

const char* const kStore = "/store";

// The server writes one line for every session it refuses; run_fuzzers.sh
// sends them away (-close_fd_mask=2). Findings go to a copy of standard error
// taken before that.
FILE* findings = stderr;

[[noreturn]] void broken(const std::string& text) {
  fprintf(findings, "store left behind: %s\n", text.c_str());
  fflush(findings);
  abort();
}

void check_snapshot(const Store* store, const std::string& name) {
  const int fd = io_open_read(store_snapshot_path(store, name));
  uint64_t length = 0;
  if (fd < 0 || !io_file_size(fd, &length)) broken("snapshot " + name + " cannot be read");
  std::vector<uint8_t> bytes(length);
  if (length > 0 && !io_read_at(fd, 0, bytes.data(), bytes.size())) broken("snapshot " + name + " cannot be read");
  io_close(fd);
  const ManifestSource source = manifest_memory_source(bytes.data(), bytes.size());
  std::string error;
  if (manifest_validate(&source, ManifestSlotRule::assigned, &error) != ManifestStatus::ok ||
      !store_check_manifest_chunks(store, &source, &error))
    broken("snapshot " + name + ": " + error);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_server_program_name = "receive-session-fuzzer";
  const int copy = dup(2);
  if (copy >= 0) findings = fdopen(copy, "w");
  if (findings == nullptr) findings = stderr;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  memory_io_reset(data, size);
  const int code = run_receive(kStore, kMemoryChannelIn, kMemoryChannelOut, ReceiveFaults{});

  Store* store = new Store;
  std::string error;
  if (!store_open(store, kStore, false, &error)) broken("does not open again: " + error);
  std::vector<std::string> names;
  if (!store_list_snapshots(store, &names, &error)) broken(error);
  if (names.size() > 1 || (code == 0 && names.size() != 1))
    broken(std::to_string(names.size()) + " snapshots after a session that exited with " + std::to_string(code));
  std::vector<uint8_t> chunk(kMaxChunkLength);
  for (uint64_t id = 1; id <= store->chunks.size(); ++id) {
    uint32_t length;
    if (!store_read_chunk(store, id, chunk.data(), &length, &error)) broken(error);
  }
  for (const std::string& name : names) check_snapshot(store, name);
  store_close(store);
  delete store;
  return 0;
}

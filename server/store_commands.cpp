// Commands that look into a store or a manifest without changing anything.
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "server/commands.h"
#include "server/receive.h"
#include "server/snapshot_access.h"
#include "server/store_io.h"

namespace {

int fail(const std::string& text) {
  server_message(text);
  return 1;
}

}  // namespace

int command_list(const std::string& store_directory) {
  Store store;
  std::string error;
  std::vector<std::string> names;
  const bool ok = store_open(&store, store_directory, false, &error) && store_list_snapshots(&store, &names, &error);
  store_close(&store);
  if (!ok) return fail(error);
  for (const std::string& name : names) std::printf("%s\n", name.c_str());
  return 0;
}

int command_entries(const std::string& store, const std::string& snapshot) {
  SnapshotAccess* access = new SnapshotAccess;
  std::string error;
  bool ok = snapshot_open(access, store, snapshot, &error);
  if (ok) ok = manifest_print(&access->source, ManifestSlotRule::assigned, stdout, &error) == ManifestStatus::ok;
  snapshot_close(access);
  delete access;
  return ok ? 0 : fail(error);
}

int command_check_store(const std::string& store_directory) {
  Store store;
  std::string error;
  if (!store_open(&store, store_directory, false, &error)) {
    store_close(&store);
    return fail(error);
  }
  uint64_t problems = 0;
  uint8_t data[kMaxChunkLength];
  for (uint64_t id = 1; id <= store.chunks.size(); ++id) {
    uint32_t length;
    if (!store_read_chunk(&store, id, data, &length, &error)) {
      std::printf("chunk %" PRIu64 ": %s\n", id, error.c_str());
      problems += 1;
    }
  }
  // Confirmed records are never cut: their damage is told every time.
  for (const uint64_t offset : store.damaged_offsets)
    server_message("chunk log damaged at offset " + std::to_string(offset));
  std::vector<std::string> names;
  if (!store_list_snapshots(&store, &names, &error)) {
    store_close(&store);
    return fail(error);
  }
  const uint64_t chunk_count = store.chunks.size();
  store_close(&store);
  for (const std::string& name : names) {
    SnapshotAccess* access = new SnapshotAccess;
    if (!snapshot_open(access, store_directory, name, &error)) {
      std::printf("snapshot %s: %s\n", name.c_str(), error.c_str());
      problems += 1;
    }
    snapshot_close(access);
    delete access;
  }
  std::fprintf(stderr, "store chunks=%" PRIu64 " snapshots=%zu problems=%" PRIu64 "\n", chunk_count, names.size(),
               problems);
  return problems == 0 ? 0 : 1;
}

int command_chunk(const std::string& store_directory, uint64_t id) {
  Store store;
  std::string error;
  uint8_t data[kMaxChunkLength];
  uint32_t length = 0;
  const bool ok = store_open(&store, store_directory, false, &error) &&
                  store_read_chunk(&store, id, data, &length, &error);
  store_close(&store);
  if (!ok) return fail(error);
  io_prepare_stdio();
  if (length > 0 && std::fwrite(data, 1, length, stdout) != length) return fail("cannot write the chunk");
  return std::fflush(stdout) == 0 ? 0 : fail("cannot write the chunk");
}

int command_check_manifest(const std::string& file_name, ManifestSlotRule rule, bool print) {
  FILE* file = io_fopen(file_name, "rb");
  ManifestSource source;
  if (file == nullptr || !manifest_file_source(file, &source)) {
    if (file != nullptr) std::fclose(file);
    return fail("cannot read " + file_name);
  }
  std::string error;
  const ManifestStatus status =
      print ? manifest_print(&source, rule, stdout, &error) : manifest_validate(&source, rule, &error);
  std::fclose(file);
  return status == ManifestStatus::ok ? 0 : fail(error);
}

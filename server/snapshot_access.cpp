#include "server/snapshot_access.h"

#include "core/manifest_format.h"
#include "server/store_io.h"

bool snapshot_open(SnapshotAccess* access, const std::string& store, const std::string& snapshot,
                   std::string* error) {
  if (!store_open(&access->store, store, false, error)) return false;
  int64_t ignored;
  if (!parse_snapshot_name(snapshot, &ignored)) {
    *error = "no snapshot named \"" + snapshot + "\"";
    return false;
  }
  access->file = io_fopen(store_snapshot_path(&access->store, snapshot), "rb");
  if (access->file == nullptr || !manifest_file_source(access->file, &access->source)) {
    *error = "no snapshot named \"" + snapshot + "\"";
    return false;
  }
  if (manifest_validate(&access->source, ManifestSlotRule::assigned, error) != ManifestStatus::ok) return false;
  if (!store_check_manifest_chunks(&access->store, &access->source, error)) return false;
  return manifest_reader_open(&access->reader, &access->source, ManifestSlotRule::assigned) == ManifestStatus::ok;
}

void snapshot_close(SnapshotAccess* access) {
  if (access->file != nullptr) std::fclose(access->file);
  access->file = nullptr;
  store_close(&access->store);
}

bool snapshot_next(SnapshotAccess* access, ManifestStatus* status) {
  *status = manifest_reader_next(&access->reader, access->entry.data());
  return *status == ManifestStatus::ok;
}

bool snapshot_read_chunk(SnapshotAccess* access, uint64_t index, uint8_t* data, uint32_t* length,
                         std::string* error) {
  const ManifestEntry& e = access->entry[0];
  uint64_t id;
  if (!manifest_read_slots(&access->reader, &e, index, 1, &id)) {
    *error = std::string("cannot read a chunk ID of ") + e.path;
    return false;
  }
  if (!store_read_chunk(&access->store, id, data, length, error)) return false;
  const uint64_t rest = e.size - index * kChunkSize;
  const uint32_t expected = rest < kChunkSize ? static_cast<uint32_t>(rest) : kChunkSize;
  if (*length != expected) {
    *error = std::string("chunk of ") + e.path + " has the wrong length";
    return false;
  }
  return true;
}

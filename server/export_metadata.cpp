// Writes a snapshot's Windows metadata file (layout in
// core/metadata_file_format.h) for `apply-metadata`: one record per file and
// directory in manifest order, so every directory comes before what lies
// below it. Named streams and reparse points are left out, since
// `apply-metadata` refuses them. Only an entry with reparse data is a reparse
// point: one without was captured as the content its filter presents, and is
// exported without the reparse-point bit (manifests written before the agent
// cleared that bit itself still carry it).
#include <blake3.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/byte_order.h"
#include "core/metadata_file_format.h"
#include "server/commands.h"
#include "server/receive.h"
#include "server/snapshot_access.h"
#include "server/store_io.h"

namespace {

struct MetadataWriter {
  FILE* file;
  uint64_t offset;
  blake3_hasher hasher;
  bool ok;
};

void emit(MetadataWriter* w, const void* data, size_t length) {
  if (length == 0) return;
  blake3_hasher_update(&w->hasher, data, length);
  if (std::fwrite(data, 1, length, w->file) != length) w->ok = false;
  w->offset += length;
}

}  // namespace

int command_export_metadata(const std::string& store, const std::string& snapshot, const std::string& output) {
  SnapshotAccess* access = new SnapshotAccess;
  std::string error;
  uint64_t records = 0, streams = 0, reparse = 0;
  const std::string part = output + ".part";
  MetadataWriter w = {nullptr, 0, {}, true};
  bool ok = snapshot_open(access, store, snapshot, &error);
  if (ok) {
    w.file = io_fopen(part, "wb");
    if (w.file == nullptr) {
      error = "cannot create " + part;
      ok = false;
    }
  }
  blake3_hasher_init(&w.hasher);
  if (ok) emit(&w, kMetadataMagic, kMetadataMagicSize);
  uint64_t previous = 0;
  std::vector<uint8_t> descriptor(kMetadataMaxDescriptorLength);
  ManifestStatus status = ManifestStatus::ok;
  while (ok && snapshot_next(access, &status)) {
    const ManifestEntry& e = access->entry[0];
    if (e.is_stream) {
      streams += 1;
      continue;
    }
    if (e.is_reparse) {
      reparse += 1;
      continue;
    }
    const uint32_t attributes = e.windows_attributes & ~kFileAttributeReparsePoint;
    if (!manifest_read_bytes(&access->reader, e.security_offset, descriptor.data(), e.security_length)) {
      error = "cannot read the security descriptor of " + std::string(e.path);
      ok = false;
      break;
    }
    uint8_t header[kMetadataRecordHeaderSize];
    put_u64le(header + kMetadataPreviousOffsetOffset, previous);
    put_u32le(header + kMetadataPathLengthOffset, e.path_length);
    put_u32le(header + kMetadataDescriptorLengthOffset, e.security_length);
    put_u32le(header + kMetadataKindOffset, e.is_directory ? kMetadataKindDirectory : kMetadataKindFile);
    put_u32le(header + kMetadataAttributesOffset, attributes);
    put_u64le(header + kMetadataCreationTimeOffset, e.created);
    put_u64le(header + kMetadataLastWriteTimeOffset, e.modified);
    previous = w.offset;
    emit(&w, header, sizeof header);
    emit(&w, e.path, e.path_length);
    emit(&w, descriptor.data(), e.security_length);
    records += 1;
  }
  if (ok && status != ManifestStatus::end) {
    error = manifest_error_text(&access->reader);
    ok = false;
  }
  if (ok) {
    uint8_t trailer[kMetadataTrailerSize];
    put_u64le(trailer, previous);
    emit(&w, trailer, 8);
    blake3_hasher_finalize(&w.hasher, trailer + 8, kMetadataChecksumSize);
    if (std::fwrite(trailer + 8, 1, kMetadataChecksumSize, w.file) != kMetadataChecksumSize) w.ok = false;
    if (std::fflush(w.file) != 0 || !w.ok) {
      error = "cannot write " + part;
      ok = false;
    }
  }
  if (w.file != nullptr && std::fclose(w.file) != 0 && ok) {
    error = "cannot write " + part;
    ok = false;
  }
  if (ok && !io_rename_replace(part, output)) {
    error = "cannot move " + part + " to " + output;
    ok = false;
  }
  if (!ok && w.file != nullptr) io_remove(part);
  snapshot_close(access);
  delete access;
  if (!ok) {
    server_message(error);
    return 1;
  }
  std::fprintf(stderr, "exported records=%" PRIu64 " skipped_streams=%" PRIu64 " skipped_reparse_points=%" PRIu64 "\n",
               records, streams, reparse);
  return 0;
}

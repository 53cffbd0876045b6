// The metadata file reader over hostile bytes: the file-level checks, then the
// chain walk with every record's path and descriptor read and checked, as
// apply-metadata reads them. Every read must fall inside the file (checked
// here, and by ASan through exact-size copies), and a walk that ends well must
// have tiled the record region exactly.
#include <blake3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "agent/metadata_restore/metadata_path_rules.h"
#include "agent/metadata_restore/security_descriptor_rules.h"
#include "core/metadata_file_reader.h"

namespace {
struct MemoryFile {
  const uint8_t* data;
  uint64_t size;
};

bool read_memory(void* context, uint64_t offset, void* buffer, uint32_t length) {
  auto* file = static_cast<MemoryFile*>(context);
  if (offset > file->size || length > file->size - offset) {
    fprintf(stderr, "read of %u bytes at %llu outside a file of %llu bytes\n", length,
            static_cast<unsigned long long>(offset), static_cast<unsigned long long>(file->size));
    abort();
  }
  memcpy(buffer, file->data + offset, length);
  return true;
}

uint8_t piece[kMetadataChecksumPiece];

MetadataCheck walk(const uint8_t* data, uint64_t size) {
  MemoryFile file{data, size};
  uint64_t last = 0;
  MetadataCheck check = check_metadata_file(size, read_memory, &file, piece, &last);
  if (check != MetadataCheck::ok) return check;
  MetadataChain chain = metadata_chain_start(size, last);
  uint64_t covered = 0;
  while (chain.offset != 0) {
    MetadataRecordHeader header;
    check = read_metadata_record_header(chain, read_memory, &file, &header);
    if (check != MetadataCheck::ok) return check;
    // Exact-size copies: a check that reads one byte too far is an ASan report.
    std::unique_ptr<char[]> path(new char[header.path_length + 1]);
    read_memory(&file, chain.offset + 40, path.get(), header.path_length);
    path[header.path_length] = 0;
    check_metadata_path(path.get(), header.path_length);
    std::unique_ptr<uint8_t[]> descriptor(new uint8_t[header.descriptor_length]);
    read_memory(&file, chain.offset + 40 + header.path_length, descriptor.get(), header.descriptor_length);
    validate_security_descriptor(descriptor.get(), header.descriptor_length);
    covered += 40 + uint64_t{header.path_length} + header.descriptor_length;
    metadata_chain_advance(chain, header);
  }
  check = check_metadata_chain_end(chain);
  if (check == MetadataCheck::ok && covered != size - kMetadataMinFileSize) {
    fprintf(stderr, "chain accepted but covers %llu of %llu bytes\n", static_cast<unsigned long long>(covered),
            static_cast<unsigned long long>(size - kMetadataMinFileSize));
    abort();
  }
  return check;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  walk(data, size);
  if (size < kMetadataMinFileSize) return 0;
  // Random bytes almost never carry the right magic and checksum; repair both
  // so that the chain walk sees every input too.
  std::unique_ptr<uint8_t[]> repaired(new uint8_t[size]);
  memcpy(repaired.get(), data, size);
  memcpy(repaired.get(), kMetadataMagic, kMetadataMagicSize);
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, repaired.get(), size - kMetadataChecksumSize);
  blake3_hasher_finalize(&hasher, repaired.get() + size - kMetadataChecksumSize, kMetadataChecksumSize);
  MetadataCheck check = walk(repaired.get(), size);
  if (check == MetadataCheck::file_size || check == MetadataCheck::format || check == MetadataCheck::checksum) {
    fprintf(stderr, "a repaired file failed its file-level checks\n");
    abort();
  }
  return 0;
}

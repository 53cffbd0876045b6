// Checks of the Windows metadata file (layout in metadata_file_format.h). The file
// comes from elsewhere and is hostile until proven otherwise: every offset and
// length is checked before anything is read through it, and every read stays
// inside the file. The checks return a status; the agent turns a status into its
// fatal message, fuzzers and tests look at it directly.
#pragma once
#include <cstdint>

#include "core/byte_order.h"
#include "core/metadata_file_format.h"

// The checksum is computed over pieces of at most this many bytes.
inline constexpr uint32_t kMetadataChecksumPiece = 65536;
inline constexpr uint64_t kMetadataFirstRecordOffset = kMetadataMagicSize;

struct MetadataRecordHeader {
  uint64_t previous_offset = 0;
  uint32_t path_length = 0;
  uint32_t descriptor_length = 0;
  uint32_t kind = 0;
  uint32_t attributes = 0;
  uint64_t creation_time = 0;
  uint64_t last_write_time = 0;
};

inline MetadataRecordHeader decode_metadata_record_header(const uint8_t* p) {
  MetadataRecordHeader h;
  h.previous_offset = get_u64le(p + kMetadataPreviousOffsetOffset);
  h.path_length = get_u32le(p + kMetadataPathLengthOffset);
  h.descriptor_length = get_u32le(p + kMetadataDescriptorLengthOffset);
  h.kind = get_u32le(p + kMetadataKindOffset);
  h.attributes = get_u32le(p + kMetadataAttributesOffset);
  h.creation_time = get_u64le(p + kMetadataCreationTimeOffset);
  h.last_write_time = get_u64le(p + kMetadataLastWriteTimeOffset);
  return h;
}

enum class MetadataCheck {
  ok,
  file_size,       // 47 bytes or fewer
  read_failed,     // the reader could not deliver the bytes asked for
  format,          // wrong magic
  checksum,        // BLAKE3 of everything before the checksum differs
  record_offset,   // a record offset outside 8 .. size - 80
  invalid_record,  // a header breaks a field rule or does not end where the next record starts
  invalid_chain,   // the chain stopped before reaching offset 8
};

// Reads exactly length bytes at an absolute offset of the file; false when it cannot.
using MetadataReadAt = bool (*)(void* context, uint64_t offset, void* buffer, uint32_t length);

// File-level checks for a file of size bytes: size, magic, checksum (hashed in
// pieces of at most 64 KiB through piece_buffer, which must hold that many
// bytes). On ok, *last_record_offset is the trailer's value.
MetadataCheck check_metadata_file(uint64_t size, MetadataReadAt read, void* context, uint8_t* piece_buffer,
                                  uint64_t* last_record_offset);

// The walk from the last record back to the first. `end` is where the record
// being visited must end: the trailer for the first visit, then the start of
// the record visited before.
struct MetadataChain {
  uint64_t size = 0;
  uint64_t offset = 0;  // record to visit next; 0 when the walk is over
  uint64_t end = 0;
};

MetadataChain metadata_chain_start(uint64_t size, uint64_t last_record_offset);
// The offset rule and the header rules for the record at chain.offset.
MetadataCheck check_metadata_record_offset(const MetadataChain& chain);
MetadataCheck check_metadata_record_header(const MetadataChain& chain, const MetadataRecordHeader& header);
// Both of the above with the header read in between (read_failed if it could not be).
MetadataCheck read_metadata_record_header(const MetadataChain& chain, MetadataReadAt read, void* context,
                                          MetadataRecordHeader* header);
// Moves past a record whose header passed its checks.
void metadata_chain_advance(MetadataChain& chain, const MetadataRecordHeader& header);
// After the walk: the records visited must reach back to offset 8.
MetadataCheck check_metadata_chain_end(const MetadataChain& chain);

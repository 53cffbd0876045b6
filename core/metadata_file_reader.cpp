#include "core/metadata_file_reader.h"

#include <blake3.h>

#include <cstring>

MetadataCheck check_metadata_file(uint64_t size, MetadataReadAt read, void* context, uint8_t* piece_buffer,
                                  uint64_t* last_record_offset) {
  if (size < kMetadataMinFileSize) return MetadataCheck::file_size;
  uint8_t magic[kMetadataMagicSize];
  uint8_t trailer[kMetadataTrailerSize];
  if (!read(context, 0, magic, sizeof magic)) return MetadataCheck::read_failed;
  if (!read(context, size - kMetadataTrailerSize, trailer, sizeof trailer)) return MetadataCheck::read_failed;
  if (memcmp(magic, kMetadataMagic, sizeof magic) != 0) return MetadataCheck::format;

  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  uint64_t hashed_end = size - kMetadataChecksumSize;
  for (uint64_t at = 0; at < hashed_end;) {
    uint64_t left = hashed_end - at;
    uint32_t piece = left < kMetadataChecksumPiece ? static_cast<uint32_t>(left) : kMetadataChecksumPiece;
    if (!read(context, at, piece_buffer, piece)) return MetadataCheck::read_failed;
    blake3_hasher_update(&hasher, piece_buffer, piece);
    at += piece;
  }
  uint8_t digest[kMetadataChecksumSize];
  blake3_hasher_finalize(&hasher, digest, sizeof digest);
  if (memcmp(digest, trailer + 8, sizeof digest) != 0) return MetadataCheck::checksum;

  *last_record_offset = get_u64le(trailer);
  return MetadataCheck::ok;
}

MetadataChain metadata_chain_start(uint64_t size, uint64_t last_record_offset) {
  MetadataChain chain;
  chain.size = size;
  chain.offset = last_record_offset;
  chain.end = size - kMetadataTrailerSize;
  return chain;
}

MetadataCheck check_metadata_record_offset(const MetadataChain& chain) {
  // Written without offset + 80 so that an offset near 2^64 cannot wrap around.
  uint64_t room = kMetadataRecordHeaderSize + kMetadataTrailerSize;
  if (chain.offset < kMetadataFirstRecordOffset || chain.offset > chain.size || chain.size - chain.offset < room) {
    return MetadataCheck::record_offset;
  }
  return MetadataCheck::ok;
}

MetadataCheck check_metadata_record_header(const MetadataChain& chain, const MetadataRecordHeader& header) {
  if (header.path_length == 0 || header.path_length > kMetadataMaxPathLength) return MetadataCheck::invalid_record;
  if (header.previous_offset >= chain.offset) return MetadataCheck::invalid_record;
  if (header.descriptor_length == 0 || header.descriptor_length > kMetadataMaxDescriptorLength) {
    return MetadataCheck::invalid_record;
  }
  if (header.kind != kMetadataKindFile && header.kind != kMetadataKindDirectory) {
    return MetadataCheck::invalid_record;
  }
  // The offset rule keeps offset below size, and both lengths are bounded above,
  // so this sum cannot wrap.
  uint64_t record_end = chain.offset + kMetadataRecordHeaderSize + header.path_length + header.descriptor_length;
  if (record_end != chain.end) return MetadataCheck::invalid_record;
  return MetadataCheck::ok;
}

MetadataCheck read_metadata_record_header(const MetadataChain& chain, MetadataReadAt read, void* context,
                                          MetadataRecordHeader* header) {
  MetadataCheck offset_check = check_metadata_record_offset(chain);
  if (offset_check != MetadataCheck::ok) return offset_check;
  uint8_t bytes[kMetadataRecordHeaderSize];
  if (!read(context, chain.offset, bytes, sizeof bytes)) return MetadataCheck::read_failed;
  *header = decode_metadata_record_header(bytes);
  return check_metadata_record_header(chain, *header);
}

void metadata_chain_advance(MetadataChain& chain, const MetadataRecordHeader& header) {
  chain.end = chain.offset;
  chain.offset = header.previous_offset;
}

MetadataCheck check_metadata_chain_end(const MetadataChain& chain) {
  return chain.end == kMetadataFirstRecordOffset ? MetadataCheck::ok : MetadataCheck::invalid_chain;
}

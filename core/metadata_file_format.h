// The Windows metadata file: the security descriptor, times and attributes of
// every file and directory of one snapshot, exported by the server and applied
// by `apply-metadata`. All integers unsigned little-endian, offsets absolute.
//
//   0          8         magic "VARWMD01"
//   8          size-48   records, back to back, the first at offset 8
//   size-40    40        trailer:
//                          0  u64  last_record_offset (0 when there is no record)
//                          8  32   BLAKE3 of the first size-32 bytes of the file
//
// Record (MetadataRecordHeader, 40 bytes, then path and descriptor):
//   0   u64  previous_offset     offset of the record before it; 0 for the first
//   8   u32  path_length         1 to 4095
//   12  u32  descriptor_length   1 to 65536
//   16  u32  kind                1 file, 2 directory
//   20  u32  attributes          FILE_ATTRIBUTE_* bits
//   24  u64  creation_time       FILETIME
//   32  u64  last_write_time     FILETIME
//   40  path (UTF-8, "/" between components, "." for the root), then the
//       self-relative security descriptor
//
// The chain is read from the last record back to the first, so a directory's
// record is written before the records of everything below it.
#pragma once

#include <cstdint>

inline constexpr char kMetadataMagic[8] = {'V', 'A', 'R', 'W', 'M', 'D', '0', '1'};
inline constexpr uint32_t kMetadataMagicSize = 8;
inline constexpr uint32_t kMetadataTrailerSize = 40;
inline constexpr uint32_t kMetadataChecksumSize = 32;
inline constexpr uint32_t kMetadataMinFileSize = 48;

inline constexpr uint32_t kMetadataRecordHeaderSize = 40;
inline constexpr uint32_t kMetadataPreviousOffsetOffset = 0;
inline constexpr uint32_t kMetadataPathLengthOffset = 8;
inline constexpr uint32_t kMetadataDescriptorLengthOffset = 12;
inline constexpr uint32_t kMetadataKindOffset = 16;
inline constexpr uint32_t kMetadataAttributesOffset = 20;
inline constexpr uint32_t kMetadataCreationTimeOffset = 24;
inline constexpr uint32_t kMetadataLastWriteTimeOffset = 32;

inline constexpr uint32_t kMetadataMaxPathLength = 4095;
inline constexpr uint32_t kMetadataMaxDescriptorLength = 65536;
inline constexpr uint32_t kMetadataKindFile = 1;
inline constexpr uint32_t kMetadataKindDirectory = 2;

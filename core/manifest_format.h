// The manifest: one capture of a source tree, uploaded to the server after the
// walk. All integers little-endian, all text UTF-8 without terminator, no
// padding anywhere.
//
//   offset 0   8 bytes   magic "VARDOM06"
//   offset 8   entry records, back to back, in walk order, up to the end of file
//
// Entry record:
//   EntryHeader (48 bytes)
//     0   u32  path_length        1 to 4095
//     4   u32  reserved           0
//     8   u32  mode               16877 (040755) directory, 33188 (0100644) other
//     12  u32  reserved           0
//     16  u32  reserved           0
//     20  u32  attributes_length  bytes of all attribute records that follow the path
//     24  u64  size               content length; 0 for directories and reparse points
//     32  i64  mtime_sec          last-write time, seconds since 1970, rounded down
//     40  u32  mtime_nsec         0 to 999999900, a multiple of 100
//     44  u32  reserved           0
//   path, path_length bytes ("." for the root, "/" between components,
//     "owner:stream" for a named stream)
//   attribute records, attributes_length bytes:
//     u32 name length, u32 value length, name (ASCII), value
//     in this order: attributes (4), created (8), fileid (12), modified (8),
//     reparse (8 to 16384, reparse points only), security (1 to 65536)
//   chunk-ID slots: one u64 per 4096-byte chunk of size, rounded up
//
// There is no count, index or trailer: the last record ends at the end of file,
// and the file never exceeds 4 GiB.
#pragma once

#include <cstdint>

inline constexpr char kManifestMagic[8] = {'V', 'A', 'R', 'D', 'O', 'M', '0', '6'};
inline constexpr uint32_t kManifestMagicSize = 8;
inline constexpr uint64_t kManifestMaxSize = 4294967296ull;

inline constexpr uint32_t kEntryHeaderSize = 48;
inline constexpr uint32_t kEntryPathLengthOffset = 0;
inline constexpr uint32_t kEntryReserved0Offset = 4;
inline constexpr uint32_t kEntryModeOffset = 8;
inline constexpr uint32_t kEntryReserved1Offset = 12;
inline constexpr uint32_t kEntryReserved2Offset = 16;
inline constexpr uint32_t kEntryAttributesLengthOffset = 20;
inline constexpr uint32_t kEntrySizeOffset = 24;
inline constexpr uint32_t kEntryMtimeSecOffset = 32;
inline constexpr uint32_t kEntryMtimeNsecOffset = 40;
inline constexpr uint32_t kEntryReserved3Offset = 44;

inline constexpr uint32_t kManifestMaxPathLength = 4095;
inline constexpr uint32_t kModeDirectory = 16877;  // 040755
inline constexpr uint32_t kModeOther = 33188;      // 0100644
inline constexpr uint32_t kMtimeNsecMax = 999999900;

inline constexpr uint32_t kChunkSize = 4096;
inline constexpr uint32_t kChunkSlotSize = 8;

inline constexpr uint32_t kAttributeRecordHeaderSize = 8;
inline constexpr uint32_t kAttributeNameLengthOffset = 0;
inline constexpr uint32_t kAttributeValueLengthOffset = 4;

inline constexpr char kAttributeNameAttributes[] = "user.vardokeep.windows.attributes";
inline constexpr char kAttributeNameCreated[] = "user.vardokeep.windows.created";
inline constexpr char kAttributeNameFileId[] = "user.vardokeep.windows.fileid";
inline constexpr char kAttributeNameModified[] = "user.vardokeep.windows.modified";
inline constexpr char kAttributeNameReparse[] = "user.vardokeep.windows.reparse";
inline constexpr char kAttributeNameSecurity[] = "user.vardokeep.windows.security";

inline constexpr uint32_t kAttributeAttributesLength = 4;
inline constexpr uint32_t kAttributeCreatedLength = 8;
inline constexpr uint32_t kAttributeFileIdLength = 12;
// The fileid value: u32 volume serial, u32 index high, u32 index low.
inline constexpr uint32_t kFileIdVolumeSerialOffset = 0;
inline constexpr uint32_t kFileIdIndexHighOffset = 4;
inline constexpr uint32_t kFileIdIndexLowOffset = 8;
inline constexpr uint32_t kAttributeModifiedLength = 8;
inline constexpr uint32_t kAttributeReparseMinLength = 8;
inline constexpr uint32_t kAttributeReparseMaxLength = 16384;
inline constexpr uint32_t kAttributeSecurityMinLength = 1;
inline constexpr uint32_t kAttributeSecurityMaxLength = 65536;

// One attribute record: the two lengths, the name and the value.
template <uint32_t N>
constexpr uint32_t attribute_record_size(const char (&)[N], uint32_t value_length) {
  return kAttributeRecordHeaderSize + (N - 1) + value_length;
}

// The longest entry record without its slots: a 4095-byte path and all six
// attributes at their longest.
inline constexpr uint32_t kEntryRecordMaxSize =
    kEntryHeaderSize + kManifestMaxPathLength +
    attribute_record_size(kAttributeNameAttributes, kAttributeAttributesLength) +
    attribute_record_size(kAttributeNameCreated, kAttributeCreatedLength) +
    attribute_record_size(kAttributeNameFileId, kAttributeFileIdLength) +
    attribute_record_size(kAttributeNameModified, kAttributeModifiedLength) +
    attribute_record_size(kAttributeNameReparse, kAttributeReparseMaxLength) +
    attribute_record_size(kAttributeNameSecurity, kAttributeSecurityMaxLength);

// Deepest level the walk captures below the root.
inline constexpr uint32_t kManifestMaxDepth = 128;

// FILETIME ticks (100 ns since 1601-01-01 UTC) between 1601 and 1970.
inline constexpr int64_t kFiletimeUnixEpochTicks = 116444736000000000ll;
inline constexpr int64_t kFiletimeTicksPerSecond = 10000000ll;

// Windows attribute bits the readers of a manifest care about.
inline constexpr uint32_t kFileAttributeDirectory = 0x10;
inline constexpr uint32_t kFileAttributeReparsePoint = 0x400;

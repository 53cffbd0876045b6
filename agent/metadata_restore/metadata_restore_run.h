// The working state of one apply-metadata run. Every buffer is fixed and reused
// for every record; the only allocation per record is the UTF-16 path.
#pragma once
#include "agent/metadata_restore/restore_root.h"
#include "agent/platform/platform.h"
#include "core/metadata_file_reader.h"

constexpr uint32_t RESTORE_ACCESS = WIN_READ_CONTROL | WIN_WRITE_DAC | WIN_FILE_WRITE_ATTRIBUTES;  // 0x00060100
constexpr uint32_t RESTORE_ACCESS_WITH_OWNER = RESTORE_ACCESS | WIN_WRITE_OWNER;                    // 0x000E0100
// Only these attribute bits are ever put back: READONLY, HIDDEN, SYSTEM, ARCHIVE
// and NOT_CONTENT_INDEXED. The others describe storage (compressed, sparse,
// encrypted, offline, reparse) and must not be asserted over restored content.
constexpr uint32_t RESTORABLE_ATTRIBUTES = 0x2027;

struct MetadataRestoreRun {
  PlatformHandle file = PLATFORM_INVALID_HANDLE;
  uint32_t access_mask = RESTORE_ACCESS;
  uint32_t owner_information = 0;
  uint64_t restored_count = 0;
  uint32_t root_length = 0;
  wchar16 root[RESTORE_BUFFER_UNITS];
  // The held root: its volume and its name below the volume's root.
  uint32_t root_volume_serial = 0;
  uint32_t root_name_length = 0;
  wchar16 root_name[RESTORE_BUFFER_UNITS];
  wchar16 target[RESTORE_BUFFER_UNITS];
  wchar16 target_name[RESTORE_BUFFER_UNITS];
  char path[kMetadataMaxPathLength + 1];
  uint8_t descriptor[kMetadataMaxDescriptorLength];
};

// Validates the record at offset (its header already passed the chain's checks)
// and applies descriptor, times and attributes to its target, in that order.
void apply_metadata_record(MetadataRestoreRun& run, uint64_t offset, const MetadataRecordHeader& header);

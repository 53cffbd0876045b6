// On-disk layout of a reference server store (a directory):
//
//   lock             empty file; its exclusive lock serialises every change
//   chunks.log       append-only chunk log
//   snapshots/NAME   one uploaded manifest per confirmed snapshot, verbatim
//   incoming/        uploads in progress (NAME.part); leftovers of killed runs
//                    may be deleted while no `receive` runs
//
// chunks.log: the 8-byte magic "VKCLOG01", then records back to back. The
// chunk ID of a record is its ordinal (1 for the first), so IDs run from 1
// upward, never change and are never reused. Record (72 + L bytes):
//   0   u32  record magic 0x31524356 ("VCR1")
//   4   u32  low 32 bits of XXH3-64 over bytes 8..71 of the record
//   8   u64  chunk ID (the record's ordinal)
//   16  52   chunk descriptor as on the wire (u32 length L, XXH3-128 low,
//            high, BLAKE3)
//   68  u32  reserved 0
//   72  L    the chunk's bytes, uncompressed
//
// A record is written and flushed before its ID is sent, so every ID a client
// was ever given stays readable. A record that a killed run left unfinished
// can only be the last one; opening the store cuts it off.
#pragma once

#include <cstdint>

inline constexpr char kChunkLogMagic[8] = {'V', 'K', 'C', 'L', 'O', 'G', '0', '1'};
inline constexpr uint32_t kChunkLogMagicSize = 8;
inline constexpr uint32_t kChunkRecordMagic = 0x31524356;
inline constexpr uint32_t kChunkRecordHeaderSize = 72;
inline constexpr uint32_t kChunkRecordCheckOffset = 4;
inline constexpr uint32_t kChunkRecordIdOffset = 8;
inline constexpr uint32_t kChunkRecordDescriptorOffset = 16;
inline constexpr uint32_t kChunkRecordReservedOffset = 68;

inline constexpr char kStoreLockName[] = "lock";
inline constexpr char kStoreChunkLogName[] = "chunks.log";
inline constexpr char kStoreSnapshotDirectory[] = "snapshots";
inline constexpr char kStoreIncomingDirectory[] = "incoming";

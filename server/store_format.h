// On-disk layout of a reference server store (a directory):
//
//   lock             empty file; its exclusive lock serialises every change
//   chunks.log       append-only chunk log
//   chunks.count     how many chunk records have been confirmed to a client
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
// was ever given stays readable.
//
// chunks.count: two 32-byte slots, written in turn (slot = sequence % 2) and
// flushed after the records they count and before any of their IDs is sent:
//   0   u64  sequence (the newer valid slot counts)
//   8   u64  confirmed records C
//   16  u64  log offset just past record C
//   24  u64  XXH3-64 over bytes 0..23 of the slot
// A torn write spoils only the slot being written; the other still holds the
// previous count, and no ID past it had been sent. Records up to C are never
// cut: damage among them is reported, and their IDs are never issued again.
// Records past C were never confirmed; opening the store keeps those that
// read whole and cuts the log at the first that does not. A store made
// before chunks.count existed is read as before (an unfinished last record
// is cut, damage further in is reported) and then gets its count.
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
inline constexpr char kStoreChunkCountName[] = "chunks.count";
inline constexpr uint32_t kChunkCountSlotSize = 32;
inline constexpr char kStoreSnapshotDirectory[] = "snapshots";
inline constexpr char kStoreIncomingDirectory[] = "incoming";

// Store I/O held in memory, linked instead of store_io_posix.cpp where a
// session must run many times a second without touching a disk (the fuzzer of
// `receive`). It implements what `receive` and the store call, no more. Files and directories live in process memory, flushes and locks
// cost nothing, the clock moves on by one microsecond per look, and the
// channel is a byte buffer: descriptor 0 reads it, descriptor 1 swallows what
// is written.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int kMemoryChannelIn = 0;
inline constexpr int kMemoryChannelOut = 1;

// Forgets every file, directory and open descriptor, and makes `input` (kept
// by the caller until the next reset) what the channel delivers.
void memory_io_reset(const uint8_t* input, size_t size);
// Bytes written to the channel since the last reset.
uint64_t memory_io_output_bytes();

// Moving bytes over the server channel: whole messages, at most 64 KiB per call.
#pragma once
#include <cstdint>

// A call that moves 0 bytes or fails ends the run with
// "connection closed; retry to reuse received chunks".
void write_all(int fd, const void* data, uint64_t count);
void read_exact(int fd, void* buffer, uint64_t count);

// The private manifest: magic "VARDOM06", then entry records in walk order.
// Every byte of it is written through manifest_write_at, which keeps the file
// within 4 GiB.
#pragma once
#include <cstdint>

#include "core/manifest_format.h"

// Offset of the next byte to append; equals the file's length.
extern uint64_t manifest_end;

void manifest_write_at(uint64_t offset, const void* data, uint64_t length);
// Writes the magic at offset 0 and sets manifest_end just past it.
void manifest_begin();

// An entry record assembled in memory, so that it reaches the manifest in one
// write: room for the longest record, reused for every entry.
struct RecordBuffer {
  uint32_t length;
  uint8_t bytes[kEntryRecordMaxSize];
};

// Appends one attribute record to `record`: the name's and the value's lengths
// (u32 each), the ASCII name without terminator, the raw value. The caller
// keeps the value within its attribute's bound, so the record always fits.
void append_attribute(RecordBuffer& record, const char* name, const void* value, uint32_t length);

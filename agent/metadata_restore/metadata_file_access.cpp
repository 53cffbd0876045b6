#include "agent/metadata_restore/metadata_file_access.h"

#include "agent/run_control/fatal_error.h"

void read_metadata_at(PlatformHandle file, uint64_t offset, void* buffer, uint32_t length) {
  uint32_t bytes_read = 0;
  if (!platform_read_file_at(file, offset, buffer, length, &bytes_read) || bytes_read != length) {
    fatal_error("Windows metadata read");
  }
}

bool read_metadata_through(void* context, uint64_t offset, void* buffer, uint32_t length) {
  read_metadata_at(*static_cast<PlatformHandle*>(context), offset, buffer, length);
  return true;
}

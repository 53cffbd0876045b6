#include "agent/run_control/fatal_error.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/platform/platform.h"
#include "agent/run_control/process_resources.h"

void fatal_error(const char* format, ...) {
  // The line goes out in one write: ssh.exe shares this standard error, and a
  // line of its own between our pieces would split the failure line in two.
  static const char prefix[] = "vardokeep-agent: ";
  // Messages are short; a path inside one is at most 4095 bytes.
  constexpr size_t message_room = 8192;
  static char line[sizeof prefix - 1 + message_room + 48];
  size_t used = sizeof prefix - 1;
  memcpy(line, prefix, used);

  va_list args;
  va_start(args, format);
  int length = vsnprintf(line + used, message_room, format, args);
  va_end(args);
  if (length > 0) used += static_cast<size_t>(length) < message_room ? static_cast<size_t>(length) : message_room - 1;

  // Read after the message is formatted and before anything is written, so
  // that the code is the one the failure left, not one the write leaves.
  unsigned long code = platform_last_error();
  int suffix_length = snprintf(line + used, sizeof line - used, " (Windows error=%lu)\n", code);
  used += static_cast<size_t>(suffix_length);
  platform_write_stderr(line, used);

  if (ssh_job != nullptr) {
    platform_close_handle(ssh_job);  // the job's kill-on-close limit ends ssh.exe
    ssh_job = nullptr;
  }
  if (manifest_fd >= 0) {
    platform_close(manifest_fd);  // delete-on-close removes the file
    manifest_fd = -1;
  }
  if (restore_root_handle != nullptr) {
    platform_close_handle(restore_root_handle);
    restore_root_handle = nullptr;
  }
  platform_exit(1);
}

#include "agent/run_control/fatal_error.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "agent/platform/platform.h"
#include "agent/run_control/process_resources.h"

void fatal_error(const char* format, ...) {
  static const char prefix[] = "vardokeep-agent: ";
  platform_write_stderr(prefix, sizeof prefix - 1);

  // Messages are short; a path inside one is at most 4095 bytes.
  char message[8192];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (length > 0) {
    size_t written = static_cast<size_t>(length) < sizeof message ? static_cast<size_t>(length) : sizeof message - 1;
    platform_write_stderr(message, written);
  }

  // The code is read only after the message is out, as the line reports it.
  unsigned long code = platform_last_error();
  char suffix[48];
  int suffix_length = snprintf(suffix, sizeof suffix, " (Windows error=%lu)\n", code);
  platform_write_stderr(suffix, static_cast<size_t>(suffix_length));

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

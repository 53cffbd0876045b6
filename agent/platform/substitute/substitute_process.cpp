// Process and console operations of the substitute: standard output and error
// are the test process's own, so death tests can read the fatal line.
#include <cstdlib>
#include <unistd.h>

#include "agent/platform/platform.h"
#include "agent/platform/substitute/substitute_volume.h"

void platform_console_setup() { substitute_call({"console_setup"}); }

static void write_fully(int fd, const void* data, size_t length) {
  const auto* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = ::write(fd, p, length);
    if (n <= 0) return;
    p += n;
    length -= static_cast<size_t>(n);
  }
}

void platform_write_stdout(const void* data, size_t length) { write_fully(1, data, length); }
void platform_write_stderr(const void* data, size_t length) {
  write_fully(2, data, length);
  const std::string& neighbour = substitute.stderr_neighbour_line;
  if (!neighbour.empty()) write_fully(2, neighbour.data(), neighbour.size());
}

uint32_t platform_last_error() { return substitute.last_error; }
void platform_set_last_error(uint32_t code) { substitute.last_error = code; }

void platform_exit(int code) { exit(code); }

uint64_t platform_tick_count() { return substitute.tick_count; }
uint32_t platform_process_id() { return substitute.process_id; }

void platform_enable_privilege(const wchar16* name) { substitute.enabled_privileges.push_back(name); }

void platform_expose_placeholders() {
  substitute_call({"RtlSetProcessPlaceholderCompatibilityMode"});
  substitute.placeholder_mode = 2;
}

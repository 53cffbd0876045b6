// Options of backup and check, one at a time from the second argument on.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "agent/capture/chunk_batch.h"
#include "agent/run_control/agent_main.h"
#include "agent/run_control/fatal_error.h"
#include "agent/run_control/run_state.h"
#include "agent/run_control/text_conversion.h"

static void replace_text(char** field, char* value) {
  free(*field);
  *field = value;
}

static bool valid_exclusion(const char* value) {
  if (value[0] == 0 || value[0] == '/') return false;
  if (strchr(value, '\\') != nullptr) return false;
  return strstr(value, "..") == nullptr;
}

static uint32_t parse_batch(const char* value) {
  // As strtoul with base 10: leading white space and a sign are accepted, and
  // nothing may follow the number.
  char* end = nullptr;
  errno = 0;
  unsigned long number = strtoul(value, &end, 10);
  if (end == value || *end != 0 || errno == ERANGE || number < CHUNK_BATCH_MIN || number > CHUNK_BATCH_MAX) {
    fatal_error("batch must be 64..2048");
  }
  return static_cast<uint32_t>(number);
}

void parse_capture_options(int argc, wchar16** argv) {
  for (int i = 2; i < argc; ++i) {
    const wchar16* name = argv[i];
    if (wide_equals(name, u"--stdio")) {
      run_options.stdio = true;
      continue;
    }
    if (wide_equals(name, u"--vss-writers")) {
      run_options.vss_writers = true;
      continue;
    }
    if (i + 1 >= argc) fatal_error("missing option value");
    // The value is converted before the name is judged, so an ill-formed value
    // fails with the conversion's message even for an unknown option.
    char* value = wide_to_utf8(argv[++i]);
    if (wide_equals(name, u"--source")) {
      replace_text(&run_options.source, value);
    } else if (wide_equals(name, u"--ssh-config")) {
      replace_text(&run_options.ssh_config, value);
    } else if (wide_equals(name, u"--destination")) {
      replace_text(&run_options.destination, value);
    } else if (wide_equals(name, u"--batch")) {
      chunk_batch.capacity = parse_batch(value);
      free(value);
    } else if (wide_equals(name, u"--exclude")) {
      if (exclusion_list.count >= EXCLUSION_LIST_MAX || !valid_exclusion(value)) {
        fatal_error("exclusion must be a relative prefix with '/' separators");
      }
      exclusion_list.prefixes[exclusion_list.count++] = value;
    } else {
      fatal_error("unknown option");
    }
  }
  if (run_options.source == nullptr) fatal_error("missing source or SSH configuration");
  if (!check_mode && !run_options.stdio &&
      (run_options.ssh_config == nullptr || run_options.destination == nullptr)) {
    fatal_error("missing source or SSH configuration");
  }
}

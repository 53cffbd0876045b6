#include "agent/run_control/agent_main.h"

#include <cstring>

#include "agent/metadata_restore/apply_metadata.h"
#include "agent/run_control/fatal_error.h"
#include "agent/run_control/run_state.h"
#include "agent/run_control/text_conversion.h"
#include "agent/run_control/usage_text.h"

static int print_usage(int code) {
  platform_write_stdout(USAGE_TEXT, sizeof USAGE_TEXT - 1);
  return code;
}

int agent_main(int argc, wchar16** argv) {
  platform_console_setup();
  // Before any file is looked at: a disguised placeholder would read as a
  // plain file whose data is not here.
  platform_expose_placeholders();
  if (argc == 2) {
    if (wide_equals(argv[1], u"--version")) {
      platform_write_stdout(VERSION_LINE, sizeof VERSION_LINE - 1);
      return 0;
    }
    if (wide_equals(argv[1], u"apply-metadata")) {
      fatal_error("use: apply-metadata --source DIRECTORY --metadata FILE [--owner]");
    }
  }
  if (argc < 2) return print_usage(2);
  if (wide_equals(argv[1], u"apply-metadata")) return apply_metadata(argc, argv);
  if (wide_equals(argv[1], u"--help")) return print_usage(0);
  bool check = wide_equals(argv[1], u"check");
  if (!check && !wide_equals(argv[1], u"backup")) fatal_error("unknown command");
  check_mode = check;
  if (argc == 2) fatal_error("missing source or SSH configuration");
  parse_capture_options(argc, argv);
  return run_capture();
}

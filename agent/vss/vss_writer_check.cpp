// The writer status check, run once after the snapshot and once after
// BackupComplete: a writer failure ignored is a database backed up inconsistent.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/run_control/fatal_error.h"
#include "agent/run_control/text_conversion.h"
#include "agent/vss/vss_snapshot.h"

static void print_writer_line(const wchar16* name, int32_t state, int32_t failure) {
  // The console is UTF-8, so the name goes out as UTF-8.
  char* utf8 = name != nullptr ? wide_to_utf8(name) : nullptr;
  const char* shown = utf8 != nullptr ? utf8 : "unknown";
  size_t room = strlen(shown) + 64;
  auto* line = static_cast<char*>(malloc(room));
  if (line == nullptr) fatal_error("out of memory");
  int length = snprintf(line, room, "vss_writer=%s state=%" PRId32 " HRESULT=0x%08" PRIx32 "\n", shown, state,
                        static_cast<uint32_t>(failure));
  platform_write_stderr(line, static_cast<size_t>(length));
  free(line);
  free(utf8);
}

void vss_check_writers() {
  VssAsync* async = nullptr;
  int32_t started = vss_gather_writer_status(vss_state.requester, &async);
  vss_wait_async(started, async, "writer status");

  uint32_t count = 0;
  int32_t result = vss_get_writer_status_count(vss_state.requester, &count);
  if (result < 0) vss_fail(result, "writer count");
  if (count == 0) fatal_error("VSS no participating writers; application consistency was requested");

  for (uint32_t index = 0; index < count; ++index) {
    VssGuid instance_id{};
    VssGuid writer_id{};
    wchar16* name = nullptr;
    int32_t state = 0;
    int32_t failure = 0;
    result = vss_get_writer_status(vss_state.requester, index, &instance_id, &writer_id, &name, &state, &failure);
    if (result < 0) vss_fail(result, "writer state");
    print_writer_line(name, state, failure);
    vss_free_writer_name(name);
    if (failure < 0 || (state != WIN_VSS_WS_STABLE && state != WIN_VSS_WS_WAITING_FOR_BACKUP_COMPLETE)) {
      fatal_error("VSS writer failed or is not stable");
    }
  }

  result = vss_free_writer_status(vss_state.requester);
  if (result < 0) vss_fail(result, "free writer status");
}

// The failure line of a VSS step, and the wait for an asynchronous one.
#include "agent/run_control/fatal_error.h"
#include "agent/vss/vss_snapshot.h"

void vss_fail(int32_t result, const char* step) {
  fatal_error("VSS %s HRESULT=0x%08lx", step, static_cast<unsigned long>(static_cast<uint32_t>(result)));
}

void vss_wait_async(int32_t started, VssAsync* async, const char* step) {
  if (started < 0) {
    if (async != nullptr) vss_async_release(async);
    vss_fail(started, step);
  }
  if (async == nullptr) fatal_error("VSS async object missing: %s", step);

  int32_t waited = vss_async_wait(async, VSS_WAIT_MILLISECONDS);
  // A status that QueryStatus never writes must not read as success.
  int32_t status = WIN_E_FAIL;
  int32_t reserved = 0;
  int32_t queried = vss_async_query_status(async, &status, &reserved);
  if (waited < 0 || queried < 0 || status != WIN_VSS_S_ASYNC_FINISHED) {
    vss_async_cancel(async);
    vss_async_release(async);
    fatal_error("VSS async operation failed/timed out: %s HRESULT=0x%08lx", step,
                static_cast<unsigned long>(static_cast<uint32_t>(status)));
  }
  vss_async_release(async);
}

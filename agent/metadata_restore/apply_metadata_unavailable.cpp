// Restoring metadata is not part of this build yet.
#include "agent/metadata_restore/apply_metadata.h"
#include "agent/run_control/fatal_error.h"

int apply_metadata(int, wchar16**) { fatal_error("apply-metadata is not available in this build"); }

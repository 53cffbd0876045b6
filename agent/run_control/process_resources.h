// The process-wide resources that fatal_error releases, whatever is still set;
// their owners set and clear them.
#pragma once
#include "agent/platform/platform.h"

// Job object that supervises the ssh.exe child; null when no child exists.
extern PlatformHandle ssh_job;
// Descriptor of the private delete-on-close manifest; -1 when none is open.
extern int manifest_fd;
// apply-metadata's hold on its restore root (opened without delete sharing, so
// that nobody renames or replaces the root during the run); null when none.
extern PlatformHandle restore_root_handle;

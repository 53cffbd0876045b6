// The two process-wide resources whose abandonment would leave something behind.
// Their owners set and clear them; fatal_error releases whatever is still set.
#pragma once
#include "agent/platform/platform.h"

// Job object that supervises the ssh.exe child; null when no child exists.
extern PlatformHandle ssh_job;
// Descriptor of the private delete-on-close manifest; -1 when none is open.
extern int manifest_fd;

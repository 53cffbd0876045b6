// apply-metadata: puts ACLs, times and attributes from a Windows metadata file
// back onto a restored tree. Takes the whole argument vector; returns the exit code.
#pragma once
#include "agent/platform/platform.h"

int apply_metadata(int argc, wchar16** argv);

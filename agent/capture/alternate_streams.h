// The named data streams of a directory or regular file, each captured as its
// own record with its own content.
#pragma once
#include "agent/platform/platform.h"

void capture_alternate_streams(const wchar16* windows_path, const char* relative_path);

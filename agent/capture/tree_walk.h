// Depth-first walk of the source tree into manifest records and chunks.
#pragma once
#include "agent/platform/platform.h"

void walk_entry(const wchar16* windows_path, const char* relative_path, int depth);

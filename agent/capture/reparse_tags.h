// Reparse points that stand for the data of an ordinary file or folder, which
// a file-system filter presents (compression, deduplication, tiering, cloud
// files, projected file systems). Unlike links, junctions and mount points,
// they are captured as what they present; a placeholder would lose the data.
#pragma once
#include <cstdint>

bool reparse_tag_bears_data(uint32_t tag);

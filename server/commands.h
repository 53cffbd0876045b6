// The native program's commands besides `receive`. Each returns the exit
// code: 0 success, 1 failure (one line on standard error); `verify` also
// returns 1 when the tree differs, after listing the differences.
#pragma once

#include <cstdint>
#include <string>

#include "core/manifest_reader.h"

int command_list(const std::string& store);
int command_entries(const std::string& store, const std::string& snapshot);
int command_restore(const std::string& store, const std::string& snapshot, const std::string& target);
int command_verify(const std::string& store, const std::string& snapshot, const std::string& tree,
                   bool compare_directory_times);
int command_export_metadata(const std::string& store, const std::string& snapshot, const std::string& output);
int command_check_store(const std::string& store);
int command_chunk(const std::string& store, uint64_t id);
int command_check_manifest(const std::string& file, ManifestSlotRule rule, bool print);

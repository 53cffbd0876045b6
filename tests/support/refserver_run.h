// The native reference server run to its end, and the scratch directories and
// files of the tests that store, restore and verify with it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

std::string refserver_path();
ChildResult run_refserver(const std::vector<std::string>& arguments);

// A fresh directory under the build tree's scratch folder.
std::string fresh_directory(const std::string& tag);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
// Empty when the file cannot be read.
std::vector<uint8_t> read_file(const std::string& path);

// Restores the snapshot into a new directory and returns its path ("" on failure).
std::string restore_snapshot(const std::string& store, const std::string& snapshot, std::string* errors);
// True when the two trees hold the same names and contents.
bool same_tree(const std::string& a, const std::string& b);

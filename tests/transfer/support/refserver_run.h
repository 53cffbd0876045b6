// The native reference server run to its end, and scratch directories for the
// trees and stores of the transfer tests.
#pragma once
#include <string>
#include <vector>

// A fresh directory under the transfer tests' build folder.
std::string fresh_directory(const std::string& tag);

struct RefserverRun {
  int status;
  std::string out;
  std::string err;
};
RefserverRun refserver(const std::vector<std::string>& arguments);
std::string refserver_path();
// Restores the snapshot into a new directory and returns its path ("" on failure).
std::string restore_snapshot(const std::string& store, const std::string& snapshot, std::string* errors);
// True when the two trees hold the same names and contents.
bool same_tree(const std::string& a, const std::string& b);

// Runs Windows programs under Wine for black-box tests: an argument vector in,
// standard output and error as bytes and the exit code out, as the child
// runner gives them. The prefix comes from VARDOKEEP_WINEPREFIX (the test
// command creates it) or is made once under the build tree.
#pragma once
#include <string>
#include <vector>

#include "tests/support/child_process.h"

// The prefix directory (Linux path), created on first use.
const std::string& wine_prefix();
// drive_c of the prefix (Linux path).
std::string wine_drive_c();
// The Windows temporary directory of the prefix, as Linux and Windows paths.
std::string wine_temp_dir_linux();
std::string wine_temp_dir_windows();
// A Linux path seen from Windows through the Z: drive ("Z:\work\x").
std::string windows_path_of(const std::string& linux_path);
// A .exe of the MinGW build tree (VARDOKEEP_WIN_BUILD_DIR).
std::string win_build_exe(const std::string& relative_path);

// `exe` under wine in the prefix, quiet, with `options.environment` added.
ChildProcess start_under_wine(const std::string& exe, const std::vector<std::string>& args,
                              const ChildOptions& options = {});
// The same run to its end; without a time limit of its own it gets 120 seconds.
ChildResult run_under_wine(const std::string& exe, const std::vector<std::string>& args,
                           const ChildOptions& options = {});

// Names in the prefix's temporary directory that begin with the prefix.
std::vector<std::string> temp_files_named(const std::string& name_prefix);

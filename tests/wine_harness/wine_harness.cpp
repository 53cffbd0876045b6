#include "tests/wine_harness/wine_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#ifndef VARDOKEEP_DEFAULT_WINEPREFIX
#define VARDOKEEP_DEFAULT_WINEPREFIX "/tmp/vardokeep-wineprefix"
#endif
#ifndef VARDOKEEP_WIN_BUILD_DIR
#define VARDOKEEP_WIN_BUILD_DIR ""
#endif

const std::string& wine_prefix() {
  static std::string prefix;
  if (!prefix.empty()) return prefix;
  const char* configured = getenv("VARDOKEEP_WINEPREFIX");
  prefix = configured != nullptr && *configured != 0 ? configured : VARDOKEEP_DEFAULT_WINEPREFIX;
  // Tests run in parallel: one of them creates the prefix, the others wait.
  std::string lock_path = prefix + ".lock";
  int lock = open(lock_path.c_str(), O_CREAT | O_RDWR, 0644);
  if (lock >= 0) flock(lock, LOCK_EX);
  struct stat st;
  if (stat((prefix + "/system.reg").c_str(), &st) != 0) {
    // What they print is of no use here.
    const ChildOptions quiet{
        .environment = {"WINEPREFIX=" + prefix, "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml="},
        .stdout_file = "/dev/null",
        .stderr_file = "/dev/null"};
    if (run_child({"wineboot", "-i"}, quiet).exit_code != 0 || run_child({"wineserver", "-w"}, quiet).exit_code != 0) {
      fprintf(stderr, "wine_harness: wineboot failed for %s\n", prefix.c_str());
    }
  }
  if (lock >= 0) close(lock);
  return prefix;
}

std::string wine_drive_c() { return wine_prefix() + "/drive_c"; }

// The TEMP value of the prefix's user environment, e.g. "C:\users\root\Temp".
std::string wine_temp_dir_windows() {
  std::ifstream registry(wine_prefix() + "/user.reg");
  std::string line;
  while (std::getline(registry, line)) {
    if (line.rfind("\"TEMP\"=\"", 0) != 0) continue;
    std::string value;
    for (size_t i = 8; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) ++i;  // registry files escape backslashes
      value += line[i];
    }
    return value;
  }
  return "C:\\windows\\temp";
}

std::string wine_temp_dir_linux() {
  std::string windows = wine_temp_dir_windows();  // "C:\..."
  std::string result = wine_drive_c();
  for (size_t i = 2; i < windows.size(); ++i) result += windows[i] == '\\' ? '/' : windows[i];
  return result;
}

std::string windows_path_of(const std::string& linux_path) {
  std::string result = "Z:";
  for (char c : linux_path) result += c == '/' ? '\\' : c;
  return result;
}

std::string win_build_exe(const std::string& relative_path) {
  const char* configured = getenv("VARDOKEEP_WIN_BUILD_DIR");
  std::string dir = configured != nullptr && *configured != 0 ? configured : VARDOKEEP_WIN_BUILD_DIR;
  return dir + "/" + relative_path;
}

ChildProcess start_under_wine(const std::string& exe, const std::vector<std::string>& args,
                              const ChildOptions& options) {
  std::vector<std::string> argv = {"wine", exe};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildOptions quiet = options;
  quiet.environment = {"WINEPREFIX=" + wine_prefix(), "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml=", "DISPLAY"};
  quiet.environment.insert(quiet.environment.end(), options.environment.begin(), options.environment.end());
  return start_child(argv, quiet);
}

ChildResult run_under_wine(const std::string& exe, const std::vector<std::string>& args, const ChildOptions& options) {
  ChildProcess child = start_under_wine(exe, args, options);
  return child_collect(&child, options.input, options.time_limit_seconds > 0 ? options.time_limit_seconds : 120);
}

std::vector<std::string> temp_files_named(const std::string& name_prefix) {
  std::vector<std::string> names;
  DIR* dir = opendir(wine_temp_dir_linux().c_str());
  if (dir == nullptr) return names;
  while (dirent* e = readdir(dir)) {
    if (strncmp(e->d_name, name_prefix.c_str(), name_prefix.size()) == 0) names.push_back(e->d_name);
  }
  closedir(dir);
  return names;
}

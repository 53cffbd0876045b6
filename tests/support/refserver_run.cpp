#include "tests/support/refserver_run.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#ifndef VARDOKEEP_TEST_TMP
#define VARDOKEEP_TEST_TMP "/tmp"
#endif
#ifndef VARDOKEEP_REFSERVER_PATH
#define VARDOKEEP_REFSERVER_PATH "vardokeep-refserver"
#endif

std::string refserver_path() { return VARDOKEEP_REFSERVER_PATH; }

ChildResult run_refserver(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {refserver_path()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run_child(argv);
}

std::string fresh_directory(const std::string& tag) {
  std::string pattern = std::string(VARDOKEEP_TEST_TMP) + "/" + tag + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  uint8_t buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  std::fclose(f);
  return bytes;
}

std::string restore_snapshot(const std::string& store, const std::string& snapshot, std::string* errors) {
  std::string target = fresh_directory("restored");
  rmdir(target.c_str());
  ChildResult run = run_refserver({"restore", "--store", store, "--snapshot", snapshot, "--target", target});
  if (run.exit_code != 0) {
    if (errors != nullptr) *errors = run.err;
    return "";
  }
  return target;
}

bool same_tree(const std::string& a, const std::string& b) { return run_child({"diff", "-r", a, b}).exit_code == 0; }

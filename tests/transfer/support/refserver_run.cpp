#include "tests/transfer/support/refserver_run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#ifndef VARDOKEEP_TRANSFER_TMP
#define VARDOKEEP_TRANSFER_TMP "/tmp"
#endif
#ifndef VARDOKEEP_REFSERVER_PATH
#define VARDOKEEP_REFSERVER_PATH "vardokeep-refserver"
#endif

std::string fresh_directory(const std::string& tag) {
  std::string pattern = std::string(VARDOKEEP_TRANSFER_TMP) + "/" + tag + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) abort();
  return pattern;
}

std::string refserver_path() { return VARDOKEEP_REFSERVER_PATH; }

RefserverRun refserver(const std::vector<std::string>& arguments) {
  std::string command = "'" + refserver_path() + "'";
  for (const auto& a : arguments) command += " '" + a + "'";
  std::string out_path = fresh_directory("refserver-output");
  command += " >'" + out_path + "/out' 2>'" + out_path + "/err'";
  int status = system(command.c_str());
  RefserverRun run;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream out(out_path + "/out"), err(out_path + "/err");
  std::stringstream o, e;
  o << out.rdbuf();
  e << err.rdbuf();
  run.out = o.str();
  run.err = e.str();
  system(("rm -rf '" + out_path + "'").c_str());
  return run;
}

std::string restore_snapshot(const std::string& store, const std::string& snapshot, std::string* errors) {
  std::string target = fresh_directory("restored");
  rmdir(target.c_str());
  RefserverRun run = refserver({"restore", "--store", store, "--snapshot", snapshot, "--target", target});
  if (run.status != 0) {
    if (errors != nullptr) *errors = run.err;
    return "";
  }
  return target;
}

bool same_tree(const std::string& a, const std::string& b) {
  return system(("diff -r '" + a + "' '" + b + "' >/dev/null").c_str()) == 0;
}

// vardokeep-refserver: the reference backup server that the agent is tested
// against. See server/README.md for the commands.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "server/commands.h"
#include "server/receive.h"
#include "server/store_io.h"

namespace {

const char kUsage[] =
    "usage: vardokeep-refserver COMMAND OPTIONS\n"
    "  receive --store DIR [--faults-from-environment]\n"
    "  list --store DIR\n"
    "  entries --store DIR --snapshot NAME\n"
    "  restore --store DIR --snapshot NAME --target DIR\n"
    "  verify --store DIR --snapshot NAME --tree DIR [--ignore-directory-times]\n"
    "  export-metadata --store DIR --snapshot NAME --output FILE\n"
    "  check-store --store DIR\n"
    "  chunk --store DIR --id N\n"
    "  check-manifest --file FILE [--slots any|zero|assigned] [--print]\n";

int usage(const std::string& problem) {
  std::fprintf(stderr, "vardokeep-refserver: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> argument;
  if (!io_command_arguments(argc, argv, &argument)) return usage("the command line is not valid Unicode");
  if (argument.size() < 2) return usage("no command");
  const std::string command = argument[1];
  std::map<std::string, std::string> values;
  std::map<std::string, bool> flags;
  const char* const value_options[] = {"--store", "--snapshot", "--target", "--tree", "--output",
                                       "--id",    "--file",     "--slots"};
  const char* const flag_options[] = {"--faults-from-environment", "--ignore-directory-times", "--print"};
  for (size_t i = 2; i < argument.size(); ++i) {
    const std::string option = argument[i];
    bool known = false;
    for (const char* name : flag_options) {
      if (option == name) flags[option] = known = true;
    }
    for (const char* name : value_options) {
      if (option != name) continue;
      if (i + 1 >= argument.size()) return usage("option " + option + " needs a value");
      values[option] = argument[++i];
      known = true;
    }
    if (!known) return usage("unknown option " + option);
  }
  auto need = [&](const char* name) -> const std::string* {
    const auto found = values.find(name);
    return found == values.end() ? nullptr : &found->second;
  };
  const std::string* store = need("--store");
  const std::string* snapshot = need("--snapshot");

  if (command == "receive") {
    if (!store) return usage("receive needs --store");
    ReceiveFaults faults;
    std::string error;
    if (flags["--faults-from-environment"] && !read_receive_faults_from_environment(&faults, &error))
      return usage(error);
    io_prepare_stdio();
    return run_receive(*store, 0, 1, faults);
  }
  if (command == "list") return store ? command_list(*store) : usage("list needs --store");
  if (command == "entries")
    return store && snapshot ? command_entries(*store, *snapshot) : usage("entries needs --store and --snapshot");
  if (command == "restore") {
    const std::string* target = need("--target");
    return store && snapshot && target ? command_restore(*store, *snapshot, *target)
                                       : usage("restore needs --store, --snapshot and --target");
  }
  if (command == "verify") {
    const std::string* tree = need("--tree");
    return store && snapshot && tree ? command_verify(*store, *snapshot, *tree, !flags["--ignore-directory-times"])
                                     : usage("verify needs --store, --snapshot and --tree");
  }
  if (command == "export-metadata") {
    const std::string* output = need("--output");
    return store && snapshot && output ? command_export_metadata(*store, *snapshot, *output)
                                       : usage("export-metadata needs --store, --snapshot and --output");
  }
  if (command == "check-store") return store ? command_check_store(*store) : usage("check-store needs --store");
  if (command == "chunk") {
    const std::string* id = need("--id");
    if (!store || !id) return usage("chunk needs --store and --id");
    char* end = nullptr;
    const unsigned long long value = std::strtoull(id->c_str(), &end, 10);
    if (id->empty() || *end != '\0') return usage("--id needs a number");
    return command_chunk(*store, value);
  }
  if (command == "check-manifest") {
    const std::string* file = need("--file");
    if (!file) return usage("check-manifest needs --file");
    ManifestSlotRule rule = ManifestSlotRule::any;
    if (const std::string* slots = need("--slots")) {
      if (*slots == "zero") rule = ManifestSlotRule::zero;
      else if (*slots == "assigned") rule = ManifestSlotRule::assigned;
      else if (*slots != "any") return usage("--slots takes any, zero or assigned");
    }
    return command_check_manifest(*file, rule, flags["--print"]);
  }
  return usage("unknown command " + command);
}

// Backups of generated trees by the real agent under Wine, through the ssh.exe
// double of the reference server or joined to a peer program by --stdio.
#pragma once
#include <string>
#include <vector>

#include "tests/support/refserver_run.h"
#include "tests/wine_harness/wine_harness.h"

// Puts the MinGW build's double at System32\OpenSSH\ssh.exe of the prefix, in
// one rename, since other tests may be starting it meanwhile.
void install_ssh_double();

struct DoubleBackup {
  std::string source;   // Linux path of the tree
  std::string store;    // Linux path of the double's store
  std::string argv_log; // Linux path of the double's argument log
  std::vector<std::string> environment;  // extra variables: faults
  std::string ssh_config = "C:\\cfg\\ssh.conf";
  std::string alias = "vardo-backup";
  std::vector<std::string> extra_arguments;  // e.g. --batch 64
};
ChildResult backup_through_double(const DoubleBackup& backup);

// Processes of the double that still run with this store: they would be
// ssh.exe children that outlived their agent.
int ssh_double_processes_for_store(const std::string& store);

// The agent under Wine with --stdio, its standard output and input joined to a
// native peer program's input and output. Returns the agent's run; the peer's
// exit status and standard error go to the last two arguments.
ChildResult backup_joined_to(const std::vector<std::string>& peer_argv, const std::string& source,
                             const std::vector<std::string>& extra_arguments, int* peer_status, std::string* peer_err);

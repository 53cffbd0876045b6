#include "tests/transfer/support/wine_backup.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

void install_ssh_double() {
  std::string directory = wine_drive_c() + "/windows/system32/OpenSSH";
  std::string command = "mkdir -p '" + directory + "' && cp '" + win_build_exe("server/ssh.exe") + "' '" +
                        directory + "/ssh.exe." + std::to_string(getpid()) + "' && mv '" + directory + "/ssh.exe." +
                        std::to_string(getpid()) + "' '" + directory + "/ssh.exe'";
  if (system(command.c_str()) != 0) abort();
}

ChildResult backup_through_double(const DoubleBackup& backup) {
  std::vector<std::string> args = {"backup", "--source", windows_path_of(backup.source), "--ssh-config",
                                   backup.ssh_config, "--destination", backup.alias};
  args.insert(args.end(), backup.extra_arguments.begin(), backup.extra_arguments.end());
  ChildOptions options;
  options.environment = {"VARDOKEEP_DOUBLE_STORE=" + windows_path_of(backup.store)};
  if (!backup.argv_log.empty()) options.environment.push_back("VARDOKEEP_DOUBLE_ARGV_LOG=" + windows_path_of(backup.argv_log));
  options.environment.insert(options.environment.end(), backup.environment.begin(), backup.environment.end());
  return run_under_wine(win_build_exe("agent/vardokeep-agent.exe"), args, options);
}

// A process may end while its /proc files are read, and the read then fails
// with ESRCH (which std::ifstream turns into an exception): an unreadable file
// reads as empty, since a process that has ended is not counted.
static std::string read_proc_file(const std::string& path) {
  std::string content;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return content;
  char buffer[4096];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      content.clear();
      break;
    }
    if (got == 0) break;
    content.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return content;
}

int ssh_double_processes_for_store(const std::string& store) {
  const std::string marker = "VARDOKEEP_DOUBLE_STORE=" + windows_path_of(store);
  int count = 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::string base = std::string("/proc/") + entry->d_name;
    std::string command = read_proc_file(base + "/cmdline");
    if (command.find("OpenSSH\\ssh.exe") == std::string::npos) continue;
    std::string environment = read_proc_file(base + "/environ");
    if (environment.find(marker + '\0') != std::string::npos) ++count;
  }
  closedir(proc);
  return count;
}

ChildResult backup_joined_to(const std::vector<std::string>& peer_argv, const std::string& source,
                             const std::vector<std::string>& extra_arguments, int* peer_status, std::string* peer_err) {
  std::vector<std::string> args = {"backup", "--source", windows_path_of(source), "--stdio"};
  args.insert(args.end(), extra_arguments.begin(), extra_arguments.end());
  ChildProcess agent = start_under_wine(win_build_exe("agent/vardokeep-agent.exe"), args);
  ChildProcess peer = start_child(peer_argv);
  JoinedChildren run = join_children(&agent, &peer, 600);
  if (peer_status != nullptr) *peer_status = run.second.exit_code;
  if (peer_err != nullptr) *peer_err = run.second.err;
  return run.first;
}

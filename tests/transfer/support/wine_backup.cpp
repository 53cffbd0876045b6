#include "tests/transfer/support/wine_backup.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>


void install_ssh_double() {
  std::string directory = wine_drive_c() + "/windows/system32/OpenSSH";
  std::string command = "mkdir -p '" + directory + "' && cp '" + win_build_exe("server/ssh.exe") + "' '" +
                        directory + "/ssh.exe." + std::to_string(getpid()) + "' && mv '" + directory + "/ssh.exe." +
                        std::to_string(getpid()) + "' '" + directory + "/ssh.exe'";
  if (system(command.c_str()) != 0) abort();
}

WineRun backup_through_double(const DoubleBackup& backup) {
  std::vector<std::string> args = {"backup", "--source", windows_path_of(backup.source), "--ssh-config",
                                   backup.ssh_config, "--destination", backup.alias};
  args.insert(args.end(), backup.extra_arguments.begin(), backup.extra_arguments.end());
  WineRunOptions options;
  options.environment = {"VARDOKEEP_DOUBLE_STORE=" + windows_path_of(backup.store)};
  if (!backup.argv_log.empty()) options.environment.push_back("VARDOKEEP_DOUBLE_ARGV_LOG=" + windows_path_of(backup.argv_log));
  options.environment.insert(options.environment.end(), backup.environment.begin(), backup.environment.end());
  return run_under_wine(win_build_exe("agent/vardokeep-agent.exe"), args, options);
}

int ssh_double_processes_for_store(const std::string& store) {
  const std::string marker = "VARDOKEEP_DOUBLE_STORE=" + windows_path_of(store);
  int count = 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::string base = std::string("/proc/") + entry->d_name;
    std::ifstream cmdline(base + "/cmdline", std::ios::binary);
    std::string command((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    if (command.find("OpenSSH\\ssh.exe") == std::string::npos) continue;
    std::ifstream environ_file(base + "/environ", std::ios::binary);
    std::string environment((std::istreambuf_iterator<char>(environ_file)), std::istreambuf_iterator<char>());
    if (environment.find(marker + '\0') != std::string::npos) ++count;
  }
  closedir(proc);
  return count;
}

namespace {

void drain(int fd, std::string& into, bool& open_flag) {
  char buffer[65536];
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    into.append(buffer, static_cast<size_t>(n));
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    open_flag = false;
  }
}

[[noreturn]] void exec_with(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env) {
  for (const auto& e : extra_env) putenv(strdup(e.c_str()));
  std::vector<char*> pointers;
  for (const auto& a : argv) pointers.push_back(const_cast<char*>(a.c_str()));
  pointers.push_back(nullptr);
  execvp(pointers[0], pointers.data());
  _exit(127);
}

}  // namespace

WineRun backup_joined_to(const std::vector<std::string>& peer_argv, const std::string& source,
                         const std::vector<std::string>& extra_arguments, int* peer_status, std::string* peer_err) {
  signal(SIGPIPE, SIG_IGN);
  int to_peer[2], to_agent[2], agent_err[2], peer_errors[2];
  if (pipe(to_peer) != 0 || pipe(to_agent) != 0 || pipe(agent_err) != 0 || pipe(peer_errors) != 0) abort();
  std::vector<std::string> agent_argv = {"wine", win_build_exe("agent/vardokeep-agent.exe"), "backup", "--source",
                                         windows_path_of(source), "--stdio"};
  agent_argv.insert(agent_argv.end(), extra_arguments.begin(), extra_arguments.end());
  const std::vector<std::string> wine_env = {"WINEPREFIX=" + wine_prefix(), "WINEDEBUG=-all",
                                             "WINEDLLOVERRIDES=mscoree,mshtml="};
  const int all[] = {to_peer[0], to_peer[1], to_agent[0], to_agent[1], agent_err[0], agent_err[1], peer_errors[0], peer_errors[1]};

  pid_t agent = fork();
  if (agent == 0) {
    dup2(to_agent[0], 0);
    dup2(to_peer[1], 1);
    dup2(agent_err[1], 2);
    for (int fd : all) close(fd);
    setpgid(0, 0);
    exec_with(agent_argv, wine_env);
  }
  pid_t peer = fork();
  if (peer == 0) {
    dup2(to_peer[0], 0);
    dup2(to_agent[1], 1);
    dup2(peer_errors[1], 2);
    for (int fd : all) close(fd);
    setpgid(0, 0);
    exec_with(peer_argv, {});
  }
  for (int fd : {to_peer[0], to_peer[1], to_agent[0], to_agent[1], agent_err[1], peer_errors[1]}) close(fd);

  WineRun run;
  std::string errors;
  bool agent_open = true, peer_open = true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(600);
  while (agent_open || peer_open) {
    pollfd fds[2];
    int n = 0;
    if (agent_open) fds[n++] = {agent_err[0], POLLIN, 0};
    if (peer_open) fds[n++] = {peer_errors[0], POLLIN, 0};
    if (poll(fds, static_cast<nfds_t>(n), 200) < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == agent_err[0]) drain(agent_err[0], run.err, agent_open);
      else drain(peer_errors[0], errors, peer_open);
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-agent, SIGKILL);
      kill(-peer, SIGKILL);
      break;
    }
  }
  close(agent_err[0]);
  close(peer_errors[0]);
  int status = 0;
  waitpid(agent, &status, 0);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  waitpid(peer, &status, 0);
  if (peer_status != nullptr) *peer_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (peer_err != nullptr) *peer_err = errors;
  return run;
}


#include "tests/wine_harness/wine_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

static std::vector<std::string> wine_environment() {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (strncmp(*e, "WINEPREFIX=", 11) == 0 || strncmp(*e, "WINEDEBUG=", 10) == 0 ||
        strncmp(*e, "WINEDLLOVERRIDES=", 17) == 0 || strncmp(*e, "DISPLAY=", 8) == 0) {
      continue;
    }
    env.push_back(*e);
  }
  env.push_back("WINEPREFIX=" + wine_prefix());
  env.push_back("WINEDEBUG=-all");
  env.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
  return env;
}

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
    std::string command = "WINEPREFIX='" + prefix +
                          "' WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' wineboot -i >/dev/null 2>&1 && "
                          "WINEPREFIX='" + prefix + "' wineserver -w";
    if (system(command.c_str()) != 0) fprintf(stderr, "wine_harness: wineboot failed for %s\n", prefix.c_str());
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

static void drain(int fd, std::string& into, bool& open_flag) {
  char buffer[65536];
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    into.append(buffer, static_cast<size_t>(n));
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    open_flag = false;
  }
}

WineRun run_under_wine(const std::string& exe, const std::vector<std::string>& args, const WineRunOptions& options) {
  std::vector<std::string> env = wine_environment();
  for (const auto& e : options.environment) env.push_back(e);
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    setpgid(0, 0);
    std::vector<char*> argv;
    static char wine[] = "wine";
    argv.push_back(wine);
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    execvpe("wine", argv.data(), envp.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  signal(SIGPIPE, SIG_IGN);
  WineRun run;
  size_t stdin_written = 0;
  int stdin_fd = in_pipe[1];
  if (options.stdin_bytes.empty()) {
    close(stdin_fd);
    stdin_fd = -1;
  } else {
    fcntl(stdin_fd, F_SETFL, O_NONBLOCK);
  }
  bool out_open = true, err_open = true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  while (out_open || err_open) {
    pollfd fds[3];
    int n = 0;
    if (out_open) fds[n++] = {out_pipe[0], POLLIN, 0};
    if (err_open) fds[n++] = {err_pipe[0], POLLIN, 0};
    if (stdin_fd >= 0) fds[n++] = {stdin_fd, POLLOUT, 0};
    if (poll(fds, static_cast<nfds_t>(n), 200) < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == out_pipe[0]) drain(out_pipe[0], run.out, out_open);
      else if (fds[i].fd == err_pipe[0]) drain(err_pipe[0], run.err, err_open);
      else {
        ssize_t w = write(stdin_fd, options.stdin_bytes.data() + stdin_written,
                          options.stdin_bytes.size() - stdin_written);
        if (w > 0) stdin_written += static_cast<size_t>(w);
        if (w < 0 && errno != EAGAIN) stdin_written = options.stdin_bytes.size();
        if (stdin_written == options.stdin_bytes.size()) {
          close(stdin_fd);
          stdin_fd = -1;
        }
      }
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-pid, SIGKILL);
      break;
    }
  }
  if (stdin_fd >= 0) close(stdin_fd);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
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

#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

ChildProcess start_child(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  for (const std::string& e : environment) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  ChildProcess child;
  if (posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), env.data()) != 0) child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  child.to_child = in[1];
  child.from_child = out[0];
  child.errors = err[0];
  return child;
}

bool child_write(ChildProcess* child, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(child->to_child, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::vector<uint8_t> child_read(ChildProcess* child, size_t count) {
  std::vector<uint8_t> bytes(count);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = read(child->from_child, bytes.data() + done, count - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

std::vector<uint8_t> child_read_rest(ChildProcess* child) {
  std::vector<uint8_t> bytes;
  uint8_t buffer[65536];
  ssize_t n;
  while ((n = read(child->from_child, buffer, sizeof buffer)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  return bytes;
}

void child_close_input(ChildProcess* child) {
  if (child->to_child >= 0) close(child->to_child);
  child->to_child = -1;
}

int child_finish(ChildProcess* child, std::string* errors) {
  child_close_input(child);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(child->errors, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(child->errors);
  close(child->from_child);
  int status = 0;
  waitpid(child->pid, &status, 0);
  if (errors) *errors = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

RunResult run_program(const std::vector<std::string>& argv) {
  ChildProcess child = start_child(argv);
  child_close_input(&child);
  const std::vector<uint8_t> out = child_read_rest(&child);
  RunResult result;
  result.out.assign(out.begin(), out.end());
  result.status = child_finish(&child, &result.err);
  return result;
}

RunResult run_refserver(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {VARDOKEEP_REFSERVER_PATH};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run_program(argv);
}

std::string make_temporary_directory(const std::string& tag) {
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

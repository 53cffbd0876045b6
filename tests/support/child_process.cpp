#include "tests/support/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

extern char** environ;

namespace {

// Our ends of every child's pipes: a forked child closes them all, since it
// does not exec and so keeps no O_CLOEXEC promise. Some server tests start
// their children from two threads.
std::vector<int> our_ends;
std::mutex our_ends_lock;

void keep_end(int fd) {
  std::lock_guard<std::mutex> hold(our_ends_lock);
  our_ends.push_back(fd);
}

void close_end(int* fd) {
  if (*fd < 0) return;
  std::lock_guard<std::mutex> hold(our_ends_lock);
  close(*fd);
  our_ends.erase(std::remove(our_ends.begin(), our_ends.end(), *fd), our_ends.end());
  *fd = -1;
}

// Ours first, then the additions: a name set or removed there replaces ours.
std::vector<std::string> environment_for(const std::vector<std::string>& changes) {
  auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string name = name_of(*e);
    if (std::none_of(changes.begin(), changes.end(), [&](const std::string& c) { return name_of(c) == name; })) {
      env.push_back(*e);
    }
  }
  for (const std::string& c : changes) {
    if (c.find('=') != std::string::npos) env.push_back(c);
  }
  return env;
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// One standard stream: a pipe whose other end is ours, or a file.
struct Stream {
  int fd;        // 0, 1 or 2
  std::string file;
  int pipe_ends[2] = {-1, -1};
  int child_end() const { return fd == 0 ? pipe_ends[0] : pipe_ends[1]; }
  int our_end() const { return fd == 0 ? pipe_ends[1] : pipe_ends[0]; }
  int open_flags() const { return fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC; }
};

struct Launch {
  Stream streams[3];
  std::vector<std::string> env;
  std::vector<char*> envp;
  ChildProcess child;

  explicit Launch(const ChildOptions& options)
      : streams{{0, options.stdin_file}, {1, options.stdout_file}, {2, options.stderr_file}},
        env(environment_for(options.environment)), envp(pointers_to(env)) {
    // A child that ends early must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    for (Stream& s : streams) {
      if (!s.file.empty()) continue;
      if (pipe2(s.pipe_ends, O_CLOEXEC) != 0) std::abort();
      keep_end(s.our_end());
    }
    child.to_child = streams[0].our_end();
    child.from_child = streams[1].our_end();
    child.errors = streams[2].our_end();
  }

  // The child's ends, ours once it has started.
  void close_child_ends() {
    for (Stream& s : streams) {
      if (s.file.empty()) close(s.child_end());
    }
  }

  // In the forked child only: the streams in place, every other end closed.
  void become_child() {
    setpgid(0, 0);
    for (Stream& s : streams) {
      const int from = s.file.empty() ? s.child_end() : open(s.file.c_str(), s.open_flags(), 0644);
      if (from < 0 || dup2(from, s.fd) < 0) _exit(127);
      if (!s.file.empty()) close(from);
    }
    for (Stream& s : streams) {
      if (s.file.empty()) close(s.child_end());
    }
    for (int fd : our_ends) close(fd);
    environ = envp.data();
  }
};

struct Pump {
  int* from;             // drained until its end; -1 once closed
  int* to;               // where its bytes go on; -1 for none
  std::string* kept;     // every byte read, or null
  std::string pending;   // read and not yet passed on
};

// Passes on what `to` takes; once its reader has gone, the stream ends for the
// writer too, as through a pipe.
void pass_on(Pump& p) {
  const ssize_t n = write(*p.to, p.pending.data(), p.pending.size());
  if (n > 0) {
    p.pending.erase(0, static_cast<size_t>(n));
  } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
    p.pending.clear();
    close_end(p.from);
  }
}

void take_in(Pump& p) {
  char buffer[65536];
  const ssize_t n = read(*p.from, buffer, sizeof buffer);
  if (n > 0) {
    if (p.kept != nullptr) p.kept->append(buffer, static_cast<size_t>(n));
    if (*p.to >= 0) p.pending.assign(buffer, static_cast<size_t>(n));
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    close_end(p.from);
  }
}

// Once a source has ended and all of it is passed on, its reader sees the end.
void settle(Pump& p) {
  if (*p.to < 0) p.pending.clear();
  if (*p.from < 0 && p.pending.empty()) close_end(p.to);
}

// Moves bytes until every source has ended; false when the time limit passed first.
bool run_pumps(std::vector<Pump>& pumps, int time_limit_seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(time_limit_seconds);
  for (Pump& p : pumps) {
    if (*p.to >= 0) fcntl(*p.to, F_SETFL, O_NONBLOCK);
    settle(p);
  }
  for (;;) {
    std::vector<pollfd> fds;
    std::vector<Pump*> owners;
    for (Pump& p : pumps) {
      if (!p.pending.empty()) fds.push_back({*p.to, POLLOUT, 0});
      else if (*p.from >= 0) fds.push_back({*p.from, POLLIN, 0});
      else continue;
      owners.push_back(&p);
    }
    if (fds.empty()) return true;
    if (poll(fds.data(), fds.size(), time_limit_seconds > 0 ? 200 : -1) < 0 && errno != EINTR) return true;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Pump& p = *owners[i];
      if (p.pending.empty()) take_in(p);
      else pass_on(p);
      settle(p);
    }
    if (time_limit_seconds > 0 && std::chrono::steady_clock::now() > deadline) return false;
  }
}

void close_all(ChildProcess* child) {
  close_end(&child->to_child);
  close_end(&child->from_child);
  close_end(&child->errors);
}

int reap(ChildProcess* child) {
  close_all(child);
  if (child->pid <= 0) return 127;
  int status = 0;
  while (waitpid(child->pid, &status, 0) < 0 && errno == EINTR) {
  }
  child->pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void kill_group(const ChildProcess& child) {
  if (child.pid > 0) kill(-child.pid, SIGKILL);
}

}  // namespace

ChildProcess start_child(const std::vector<std::string>& argv, const ChildOptions& options) {
  Launch launch(options);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const Stream& s : launch.streams) {
    if (s.file.empty()) posix_spawn_file_actions_adddup2(&actions, s.child_end(), s.fd);
    else posix_spawn_file_actions_addopen(&actions, s.fd, s.file.c_str(), s.open_flags(), 0644);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  std::vector<std::string> args = argv;
  std::vector<char*> arg_pointers = pointers_to(args);
  if (posix_spawnp(&launch.child.pid, arg_pointers[0], &actions, &attributes, arg_pointers.data(),
                   launch.envp.data()) != 0) {
    launch.child.pid = -1;
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  launch.close_child_ends();
  return launch.child;
}

ChildProcess start_forked(const std::function<int()>& body, const ChildOptions& options) {
  Launch launch(options);
  fflush(nullptr);  // what this process buffered is not the child's to write again
  const pid_t pid = fork();
  if (pid == 0) {
    launch.become_child();
    exit(body());
  }
  if (pid > 0) setpgid(pid, pid);  // either side may run first; a kill of the group must not miss it
  launch.child.pid = pid;
  launch.close_child_ends();
  return launch.child;
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

void child_close_input(ChildProcess* child) { close_end(&child->to_child); }

int child_finish(ChildProcess* child, std::string* errors) {
  child_close_input(child);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while (child->errors >= 0 && (n = read(child->errors, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(n));
  }
  if (errors) *errors = text;
  return reap(child);
}

ChildResult child_collect(ChildProcess* child, const std::string& input, int time_limit_seconds) {
  ChildResult result;
  int no_source = -1, no_sink = -1;
  std::vector<Pump> pumps = {{&no_source, &child->to_child, nullptr, input},
                             {&child->from_child, &no_sink, &result.out, ""},
                             {&child->errors, &no_sink, &result.err, ""}};
  if (!run_pumps(pumps, time_limit_seconds)) {
    result.timed_out = true;
    kill_group(*child);
  }
  result.exit_code = reap(child);
  return result;
}

ChildResult run_child(const std::vector<std::string>& argv, const ChildOptions& options) {
  ChildProcess child = start_child(argv, options);
  return child_collect(&child, options.input, options.time_limit_seconds);
}

ChildResult run_forked(const std::function<int()>& body, const ChildOptions& options) {
  ChildProcess child = start_forked(body, options);
  return child_collect(&child, options.input, options.time_limit_seconds);
}

JoinedChildren join_children(ChildProcess* first, ChildProcess* second, int time_limit_seconds) {
  JoinedChildren run;
  int no_sink = -1;
  std::vector<Pump> pumps = {{&first->from_child, &second->to_child, &run.first.out, ""},
                             {&second->from_child, &first->to_child, &run.second.out, ""},
                             {&first->errors, &no_sink, &run.first.err, ""},
                             {&second->errors, &no_sink, &run.second.err, ""}};
  if (!run_pumps(pumps, time_limit_seconds)) {
    run.first.timed_out = run.second.timed_out = true;
    kill_group(*first);
    kill_group(*second);
  }
  run.first.exit_code = reap(first);
  run.second.exit_code = reap(second);
  return run;
}

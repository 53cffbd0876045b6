// Child processes of the tests, started one way: a program (found on PATH) or a
// function of this test program run in a forked copy of it, as an agent runs
// as a process, so that a fatal exit ends only the child. Each child leads its
// own process group and has pipes on its standard streams, or files in their
// place. Run one to its end with run_child, or talk to it while it runs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct ChildOptions {
  // "NAME=value" sets a variable over ours; a bare "NAME" removes it.
  std::vector<std::string> environment = {};
  // A stream read from or written to this file (truncated) instead of a pipe.
  std::string stdin_file = {};
  std::string stdout_file = {};
  std::string stderr_file = {};
  // For run_child and run_forked: fed to standard input, which is then closed.
  std::string input = {};
  // For run_child and run_forked: 0 for none; past it the whole group is killed.
  int time_limit_seconds = 0;
};

struct ChildProcess {
  pid_t pid = -1;
  int to_child = -1;    // its standard input
  int from_child = -1;  // its standard output
  int errors = -1;      // its standard error
};

struct ChildResult {
  int exit_code = -1;  // 128 + signal when killed, 127 when it could not start
  std::string out;
  std::string err;
  bool timed_out = false;
};

// `argv[0]` is looked up on PATH.
ChildProcess start_child(const std::vector<std::string>& argv, const ChildOptions& options = {});
// A forked copy of this program that returns from `body` through exit(), so
// that its exit handlers run.
ChildProcess start_forked(const std::function<int()>& body, const ChildOptions& options = {});

bool child_write(ChildProcess* child, const std::vector<uint8_t>& bytes);
// Exactly `count` bytes; returns fewer only at end of stream.
std::vector<uint8_t> child_read(ChildProcess* child, size_t count);
// Everything until end of stream.
std::vector<uint8_t> child_read_rest(ChildProcess* child);
void child_close_input(ChildProcess* child);
// Closes our ends, collects standard error and returns the exit code.
int child_finish(ChildProcess* child, std::string* errors = nullptr);

// Feeds `input`, gathers both outputs together (so that neither can block the
// other) until they end or the time limit passes, and reaps the child.
ChildResult child_collect(ChildProcess* child, const std::string& input, int time_limit_seconds);
ChildResult run_child(const std::vector<std::string>& argv, const ChildOptions& options = {});
ChildResult run_forked(const std::function<int()>& body, const ChildOptions& options = {});

// Two running children, each one's standard output relayed to the other's
// input as through a pipe; `out` of each result keeps every byte it wrote.
struct JoinedChildren {
  ChildResult first;
  ChildResult second;
};
JoinedChildren join_children(ChildProcess* first, ChildProcess* second, int time_limit_seconds);

// A program run with pipes on its standard input, output and error, so tests
// can play the client side of a session byte by byte.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct ChildProcess {
  pid_t pid = -1;
  int to_child = -1;    // its standard input
  int from_child = -1;  // its standard output
  int errors = -1;      // its standard error
};

// Starts `argv` with `environment` entries ("NAME=value") added to ours.
ChildProcess start_child(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment = {});
bool child_write(ChildProcess* child, const std::vector<uint8_t>& bytes);
// Exactly `count` bytes; returns fewer only at end of stream.
std::vector<uint8_t> child_read(ChildProcess* child, size_t count);
// Everything until end of stream.
std::vector<uint8_t> child_read_rest(ChildProcess* child);
void child_close_input(ChildProcess* child);
// Closes our ends, collects standard error and returns the exit status
// (128 + signal when killed).
int child_finish(ChildProcess* child, std::string* errors = nullptr);

// Runs a program to its end and captures its output.
struct RunResult {
  int status;
  std::string out;
  std::string err;
};
RunResult run_program(const std::vector<std::string>& argv);
RunResult run_refserver(const std::vector<std::string>& arguments);

std::string make_temporary_directory(const std::string& tag);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> read_file(const std::string& path);

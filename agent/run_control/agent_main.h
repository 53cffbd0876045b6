// The agent's entry: console set-up, dispatch of the command line, and the two
// capture commands. Returns the exit code (0 or 2); failures never return.
#pragma once
#include "agent/platform/platform.h"

int agent_main(int argc, wchar16** argv);

// Parses the options of backup and check (argv[2] onwards) into the run records.
void parse_capture_options(int argc, wchar16** argv);
// Runs check or backup once the options are parsed; returns 0.
int run_capture();

// The agent's single failure path: one line on standard error, the resources
// that must not outlive the run released, exit code 1.
#pragma once

[[noreturn]] void fatal_error(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

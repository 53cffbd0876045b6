// The server side of one backup session: hello, chunk batch exchanges,
// manifest upload and snapshot confirmation, over two descriptors.
#pragma once

#include <string>

#include "server/receive_faults.h"

// Program name that prefixes every message on standard error.
extern const char* g_server_program_name;

// Serves one session on `in_fd`/`out_fd` into the store at `store_directory`
// (created when missing). Returns the process exit code: 0 once the client
// has closed after a confirmed snapshot, 1 on any failure (one line on
// standard error), or the code a fault asks for.
int run_receive(const std::string& store_directory, int in_fd, int out_fd, const ReceiveFaults& faults);

// "PROGRAM: text" on standard error.
void server_message(const std::string& text);

// The byte streams to and from the server: ssh.exe's pipes, or descriptors 1
// and 0 with --stdio.
#pragma once
#include "agent/platform/platform.h"

struct ServerChannel {
  int out = 1;  // bytes to the server
  int in = 0;   // bytes from the server
};

extern ServerChannel server_channel;
// The ssh.exe child, kept from its placement in the job until the channel closes.
extern PlatformHandle ssh_process;

// Command-line buffer of the child: 32767 units and the terminator.
constexpr uint32_t SSH_COMMAND_LINE_UNITS = 32768;

// With stdio nothing changes and nothing starts; otherwise checks the alias and
// starts ssh.exe under a kill-on-close job with the two pipes as its standard
// input and output.
void open_server_channel(const char* destination, const char* ssh_config, bool stdio);
// Appends one element, in double quotes, by the Windows quoting rules.
void append_quoted_argument(wchar16* command_line, const wchar16* argument);
// Closes both descriptors; with a child, waits 30 s for it to exit with 0.
void close_server_channel();

void exchange_hello();
// Sends the manifest, checks the confirmation, closes the channel and prints
// the snapshot line.
void upload_manifest();

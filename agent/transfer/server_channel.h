// The byte streams to and from the server: ssh.exe's pipes, or descriptors 1
// and 0 with --stdio.
#pragma once

struct ServerChannel {
  int out = 1;  // bytes to the server
  int in = 0;   // bytes from the server
};

extern ServerChannel server_channel;

void open_server_channel(const char* destination, const char* ssh_config, bool stdio);
void exchange_hello();
// Sends the manifest, checks the confirmation, closes the channel and prints
// the snapshot line.
void upload_manifest();

// The transfer to the server is not part of this build yet: a backup run ends
// through the fatal path before it would open the channel.
#include "agent/run_control/fatal_error.h"
#include "agent/transfer/batch_exchange.h"
#include "agent/transfer/server_channel.h"

ServerChannel server_channel;

void open_server_channel(const char*, const char*, bool) { fatal_error("backup to a server is not available in this build"); }
void exchange_hello() { fatal_error("backup to a server is not available in this build"); }
void upload_manifest() { fatal_error("backup to a server is not available in this build"); }
void exchange_chunk_batch() { fatal_error("backup to a server is not available in this build"); }

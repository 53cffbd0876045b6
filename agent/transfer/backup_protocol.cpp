// The conversation with the server: hello, (batches), manifest upload and the
// snapshot confirmation. The agent always writes a whole message, then reads the
// whole answer; any fault ends the run, and a later run reuses what the server
// already stored.
#include <cstdio>

#include "agent/capture/manifest_writer.h"
#include "agent/platform/platform.h"
#include "agent/run_control/fatal_error.h"
#include "agent/run_control/process_resources.h"
#include "agent/transfer/backup_protocol.h"
#include "agent/transfer/server_channel.h"
#include "core/byte_order.h"
#include "core/wire_format.h"

static const char CONNECTION_CLOSED[] = "connection closed; retry to reuse received chunks";

void write_all(int fd, const void* data, uint64_t count) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (count > 0) {
    uint32_t piece = count < kMaxIoPiece ? static_cast<uint32_t>(count) : kMaxIoPiece;
    int written = platform_write(fd, bytes, piece);
    if (written <= 0) fatal_error(CONNECTION_CLOSED);
    bytes += written;
    count -= static_cast<uint64_t>(written);
  }
}

void read_exact(int fd, void* buffer, uint64_t count) {
  auto* bytes = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    uint32_t piece = count < kMaxIoPiece ? static_cast<uint32_t>(count) : kMaxIoPiece;
    int received = platform_read(fd, bytes, piece);
    if (received <= 0) fatal_error(CONNECTION_CLOSED);
    bytes += received;
    count -= static_cast<uint64_t>(received);
  }
}

void exchange_hello() {
  static const uint8_t trailer = 0x00;
  write_all(server_channel.out, kProtocolMagic, sizeof kProtocolMagic);
  write_all(server_channel.out, &trailer, 1);
  uint8_t answer[sizeof kProtocolMagic];
  read_exact(server_channel.in, answer, sizeof answer);
  for (size_t i = 0; i < sizeof answer; ++i) {
    if (answer[i] != static_cast<uint8_t>(kProtocolMagic[i])) {
      fatal_error("server requires vardokeep 0.36.0 or later");
    }
  }
}

// The manifest may reach 4 GiB, so it is streamed through one buffer.
static void send_manifest() {
  static uint8_t buffer[kMaxIoPiece];
  if (platform_seek(manifest_fd, 0) < 0) fatal_error("rewind manifest");
  uint64_t sent = 0;
  while (sent < manifest_end) {
    uint64_t rest = manifest_end - sent;
    uint32_t piece = rest < kMaxIoPiece ? static_cast<uint32_t>(rest) : kMaxIoPiece;
    int got = platform_read(manifest_fd, buffer, piece);
    if (got <= 0) fatal_error("read manifest");
    write_all(server_channel.out, buffer, static_cast<uint64_t>(got));
    sent += static_cast<uint64_t>(got);
  }
}

void upload_manifest() {
  uint8_t final_message[kFinalMessageSize];
  final_message[0] = kMessageFinal;
  put_u64le(final_message + 1, manifest_end);
  write_all(server_channel.out, final_message, sizeof final_message);
  send_manifest();

  uint8_t confirmation[kConfirmationSize];
  read_exact(server_channel.in, confirmation, sizeof confirmation);
  size_t name_length = 0;
  while (name_length < kConfirmationSize && confirmation[name_length] != 0) ++name_length;
  if (name_length == kConfirmationSize || name_length == 0) fatal_error("invalid snapshot confirmation");
  for (size_t i = 0; i < name_length; ++i) {
    if (!is_snapshot_name_byte(confirmation[i])) fatal_error("invalid snapshot name");
  }

  close_server_channel();
  char line[16 + kConfirmationSize];
  int length = snprintf(line, sizeof line, "snapshot=%s\n", reinterpret_cast<const char*>(confirmation));
  platform_write_stderr(line, static_cast<size_t>(length));
}

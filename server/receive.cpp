#include "server/receive.h"

#include <lz4.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/byte_order.h"
#include "core/chunk_hash.h"
#include "core/manifest_format.h"
#include "core/manifest_reader.h"
#include "core/wire_format.h"
#include "server/store.h"
#include "server/store_io.h"

const char* g_server_program_name = "vardokeep-refserver";

void server_message(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", g_server_program_name, text.c_str());
  std::fflush(stderr);
}

namespace {

enum class ReadResult { ok, end_before_first_byte, closed };

struct Session {
  int in_fd;
  int out_fd;
  const ReceiveFaults* faults;
  Store store;
  uint32_t batch_number = 0;
  // Working storage, allocated once: the largest batch. The chunks' room
  // (8 MiB for a full batch) grows with the largest batch seen instead.
  std::vector<uint8_t> descriptors = std::vector<uint8_t>(kMaxBatchChunks * kChunkDescriptorSize);
  std::vector<uint8_t> bitmap = std::vector<uint8_t>(kMaxBatchChunks);
  std::vector<uint8_t> chunk_data;
  std::vector<uint8_t> payload = std::vector<uint8_t>(kMaxChunkLength);
  std::vector<uint8_t> id_bytes = std::vector<uint8_t>(kMaxBatchChunks * 8);
  std::vector<uint64_t> ids = std::vector<uint64_t>(kMaxBatchChunks);
  std::vector<ChunkToStore> verified;
};

ReadResult read_exact(Session* s, void* buffer, size_t count, size_t* got = nullptr) {
  auto* p = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  ReadResult result = ReadResult::ok;
  while (done < count) {
    const size_t piece = count - done < kMaxIoPiece ? count - done : kMaxIoPiece;
    const long n = io_read_some(s->in_fd, p + done, piece);
    if (n <= 0) {
      result = done == 0 ? ReadResult::end_before_first_byte : ReadResult::closed;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (got != nullptr) *got = done;
  return result;
}

bool write_all(Session* s, const void* buffer, size_t count) {
  const auto* p = static_cast<const uint8_t*>(buffer);
  while (count > 0) {
    const size_t piece = count < kMaxIoPiece ? count : kMaxIoPiece;
    const long n = io_write_some(s->out_fd, p, piece);
    if (n <= 0) return false;
    p += n, count -= static_cast<size_t>(n);
  }
  return true;
}

int failure(const std::string& text) {
  server_message(text);
  return 1;
}

int closed_by_fault(const char* where) {
  server_message(std::string("fault: closing the connection at the ") + where);
  return 1;
}

// Keeps the chunks of a broken batch whose payloads did check, so a later run
// can reuse them.
void store_verified(Session* s) {
  if (s->verified.empty()) return;
  std::string error;
  if (!store_lock(&s->store, &error) || !store_catch_up(&s->store, &error) ||
      !store_append_chunks(&s->store, s->verified.data(), s->verified.size(), &error))
    server_message("verified chunks of the broken batch not kept: " + error);
  if (s->store.locked) store_unlock(&s->store);
  s->verified.clear();
}

// Turns one payload frame into the chunk's bytes and checks them.
int receive_frame(Session* s, uint32_t position, uint32_t length, uint8_t* chunk) {
  const std::string where = "chunk " + std::to_string(position) + " of batch " + std::to_string(s->batch_number);
  uint8_t frame_header[kPayloadFrameHeaderSize];
  if (read_exact(s, frame_header, sizeof frame_header) != ReadResult::ok)
    return failure("connection closed before the payload of " + where);
  const uint32_t frame_length = get_u32le(frame_header);
  if (frame_length > length)
    return failure("payload of " + where + " is " + std::to_string(frame_length) + " bytes, longer than the chunk (" +
                   std::to_string(length) + ")");
  if (frame_length == length) {
    if (length > 0 && read_exact(s, chunk, length) != ReadResult::ok)
      return failure("connection closed inside the payload of " + where);
  } else {
    if (frame_length > 0 && read_exact(s, s->payload.data(), frame_length) != ReadResult::ok)
      return failure("connection closed inside the payload of " + where);
    const int produced = LZ4_decompress_safe(reinterpret_cast<const char*>(s->payload.data()),
                                             reinterpret_cast<char*>(chunk), static_cast<int>(frame_length),
                                             static_cast<int>(length));
    if (produced != static_cast<int>(length))
      return failure("payload of " + where + " is not an LZ4 block of exactly " + std::to_string(length) + " bytes");
  }
  if (!chunk_descriptor_matches(chunk, length, s->descriptors.data() + position * kChunkDescriptorSize))
    return failure("payload of " + where + " does not match the hashes of its descriptor");
  return 0;
}

int serve_batch(Session* s) {
  s->batch_number += 1;
  const ReceiveFaults& faults = *s->faults;
  uint8_t count_bytes[4];
  if (read_exact(s, count_bytes, sizeof count_bytes) != ReadResult::ok)
    return failure("connection closed inside a batch header");
  const uint32_t n = get_u32le(count_bytes);
  if (n == 0 || n > kMaxBatchChunks)
    return failure("batch of " + std::to_string(n) + " chunks; a batch holds 1 to 2048");
  // Nothing of the last batch points into it any more.
  if (s->chunk_data.size() < static_cast<size_t>(n) * kMaxChunkLength)
    s->chunk_data.resize(static_cast<size_t>(n) * kMaxChunkLength);
  uint8_t* descriptors = s->descriptors.data();
  if (read_exact(s, descriptors, static_cast<size_t>(n) * kChunkDescriptorSize) != ReadResult::ok)
    return failure("connection closed inside the chunk descriptors");
  for (uint32_t j = 0; j < n; ++j) {
    const uint32_t length = get_u32le(descriptors + j * kChunkDescriptorSize);
    if (length > kMaxChunkLength)
      return failure("descriptor " + std::to_string(j) + " names a chunk of " + std::to_string(length) +
                     " bytes; chunks hold at most 4096");
  }

  // 1: the store holds the chunk; 2: an earlier position of this batch
  // carries the same chunk; 0: its payload must follow.
  std::string error;
  if (!store_lock(&s->store, &error) || !store_catch_up(&s->store, &error)) {
    if (s->store.locked) store_unlock(&s->store);
    return failure(error);
  }
  store_unlock(&s->store);
  uint8_t* bitmap = s->bitmap.data();
  for (uint32_t j = 0; j < n; ++j) {
    const uint8_t* d = descriptors + j * kChunkDescriptorSize;
    bitmap[j] = kBitmapMissing;
    if (store_find(&s->store, d) != 0) {
      bitmap[j] = kBitmapHeld;
      continue;
    }
    for (uint32_t k = 0; k < j; ++k) {
      if (bitmap[k] == kBitmapMissing && std::memcmp(descriptors + k * kChunkDescriptorSize, d, kChunkDescriptorSize) == 0) {
        bitmap[j] = kBitmapNotNeeded;
        break;
      }
    }
  }
  uint32_t frames_expected = n;
  if (s->batch_number == 1 && faults.bitmap_fault && faults.bitmap_position < n) {
    bitmap[faults.bitmap_position] = faults.bitmap_value;
    frames_expected = faults.bitmap_position;  // a correct client stops at the bad byte
  }
  if (faults.close_at == CloseAt::bitmap && faults.close_at_batch == s->batch_number)
    return closed_by_fault("missing-chunk bitmap");
  if (!write_all(s, bitmap, n)) return failure("connection closed before the bitmap was sent");

  s->verified.clear();
  for (uint32_t j = 0; j < frames_expected; ++j) {
    if (bitmap[j] != kBitmapMissing) continue;
    const uint8_t* d = descriptors + j * kChunkDescriptorSize;
    uint8_t* chunk = s->chunk_data.data() + static_cast<size_t>(j) * kMaxChunkLength;
    if (receive_frame(s, j, get_u32le(d), chunk) != 0) {
      store_verified(s);
      return 1;
    }
    s->verified.push_back(ChunkToStore{d, chunk, 0});
  }
  if (frames_expected < n) {
    store_verified(s);
    return failure("fault: sent an invalid bitmap byte; the session ends here");
  }

  if (!store_lock(&s->store, &error) || !store_catch_up(&s->store, &error) ||
      !store_append_chunks(&s->store, s->verified.data(), s->verified.size(), &error)) {
    if (s->store.locked) store_unlock(&s->store);
    return failure(error);
  }
  store_unlock(&s->store);
  s->verified.clear();
  for (uint32_t j = 0; j < n; ++j) {
    s->ids[j] = store_find(&s->store, descriptors + j * kChunkDescriptorSize);
    if (s->ids[j] == 0) return failure("chunk " + std::to_string(j) + " has no ID after storing");
  }
  if (s->batch_number == 1 && faults.chunk_id_fault && faults.chunk_id_position < n)
    s->ids[faults.chunk_id_position] = faults.chunk_id_value;
  if (faults.close_at == CloseAt::ids && faults.close_at_batch == s->batch_number)
    return closed_by_fault("chunk IDs");
  for (uint32_t j = 0; j < n; ++j) put_u64le(s->id_bytes.data() + j * 8, s->ids[j]);
  if (!write_all(s, s->id_bytes.data(), static_cast<size_t>(n) * 8))
    return failure("connection closed before the chunk IDs were sent");
  return 0;
}

// The flushed upload read back through the store's own I/O, one window of
// kMaxIoPiece bytes at a time: the reader asks for many small pieces in order.
struct UploadFile {
  int fd;
  uint64_t length;
  std::vector<uint8_t> window = std::vector<uint8_t>(kMaxIoPiece);
  uint64_t window_start = 0;
  size_t window_length = 0;
};

bool read_upload(void* context, uint64_t offset, void* buffer, size_t count) {
  auto* u = static_cast<UploadFile*>(context);
  if (offset > u->length || count > u->length - offset) return false;
  if (count > u->window.size()) return io_read_at(u->fd, offset, buffer, count);
  if (offset < u->window_start || offset + count > u->window_start + u->window_length) {
    const uint64_t rest = u->length - offset;
    u->window_length = rest < u->window.size() ? static_cast<size_t>(rest) : u->window.size();
    u->window_start = offset;
    if (!io_read_at(u->fd, offset, u->window.data(), u->window_length)) {
      u->window_length = 0;
      return false;
    }
  }
  if (count > 0) std::memcpy(buffer, u->window.data() + (offset - u->window_start), count);
  return true;
}

void build_confirmation(const std::string& name, ConfirmationFault fault, uint8_t* out) {
  std::memset(out, 0, kConfirmationSize);
  std::memcpy(out, name.data(), name.size());
  switch (fault) {
    case ConfirmationFault::none: break;
    case ConfirmationFault::no_nul: std::memset(out + name.size(), 'x', kConfirmationSize - name.size()); break;
    case ConfirmationFault::empty_name: std::memset(out, 0, kConfirmationSize); break;
    case ConfirmationFault::bad_name: out[name.size() / 2] = ':'; break;
    case ConfirmationFault::longest_name:
      std::memset(out + name.size(), '-', kSnapshotNameMaxLength - name.size());
      break;
    case ConfirmationFault::trailing_bytes:
      std::memset(out + name.size() + 1, 0xFF, kConfirmationSize - name.size() - 1);
      break;
  }
}

int serve_upload(Session* s, std::string* name) {
  uint8_t length_bytes[8];
  if (read_exact(s, length_bytes, sizeof length_bytes) != ReadResult::ok)
    return failure("connection closed inside the final message");
  const uint64_t length = get_u64le(length_bytes);
  if (length < kManifestMagicSize || length > kManifestMaxSize)
    return failure("manifest length " + std::to_string(length) + " outside 8 bytes to 4 GiB");
  std::string upload_path;
  int fd;
  std::string error;
  if (!store_begin_upload(&s->store, &upload_path, &fd, &error)) return failure(error);
  std::vector<uint8_t> buffer(kMaxIoPiece);
  uint64_t received = 0;
  while (received < length) {
    const size_t piece = length - received < kMaxIoPiece ? static_cast<size_t>(length - received) : kMaxIoPiece;
    size_t got;
    if (read_exact(s, buffer.data(), piece, &got) != ReadResult::ok) {
      io_close(fd);
      io_remove(upload_path);
      return failure("connection closed after " + std::to_string(received + got) + " of " + std::to_string(length) +
                     " manifest bytes");
    }
    if (!io_write_at(fd, received, buffer.data(), piece)) {
      io_close(fd);
      io_remove(upload_path);
      return failure("cannot write the upload: " + io_last_error_text());
    }
    received += piece;
  }
  const bool synced = io_sync(fd);
  io_close(fd);
  if (!synced) {
    io_remove(upload_path);
    return failure("cannot flush the upload: " + io_last_error_text());
  }

  UploadFile upload{io_open_read(upload_path), length};
  const ManifestSource source{length, read_upload, &upload};
  bool accepted = upload.fd >= 0;
  if (!accepted) error = "cannot reopen the upload: " + io_last_error_text();
  if (accepted) {
    accepted = manifest_validate(&source, ManifestSlotRule::assigned, &error) == ManifestStatus::ok;
  }
  if (accepted) {
    // Chunks stored by runs that finished meanwhile count too.
    accepted = store_lock(&s->store, &error) && store_catch_up(&s->store, &error);
    if (s->store.locked) store_unlock(&s->store);
    if (accepted) accepted = store_check_manifest_chunks(&s->store, &source, &error);
  }
  io_close(upload.fd);
  if (!accepted) {
    io_remove(upload_path);
    return failure("manifest refused: " + error);
  }
  if (!store_commit_snapshot(&s->store, upload_path, name, &error)) {
    io_remove(upload_path);
    return failure(error);
  }
  return 0;
}

int serve_session(Session* s) {
  const ReceiveFaults& faults = *s->faults;
  uint8_t hello[kHelloSize];
  if (read_exact(s, hello, sizeof hello) != ReadResult::ok) return failure("connection closed before the hello");
  if (std::memcmp(hello, kProtocolMagic, kProtocolMagicSize) != 0 || hello[8] != kHelloTrailer)
    return failure("the client did not greet with VARDOR07 and a zero byte");
  if (faults.close_at == CloseAt::hello) return closed_by_fault("hello answer");
  if (!write_all(s, faults.hello_answer_set ? faults.hello_answer : kProtocolMagic, kProtocolMagicSize))
    return failure("connection closed before the hello answer was sent");
  if (faults.hello_answer_set && std::memcmp(faults.hello_answer, kProtocolMagic, kProtocolMagicSize) != 0)
    server_message("fault: answered the hello with another protocol generation");

  while (true) {
    uint8_t type;
    const ReadResult r = read_exact(s, &type, 1);
    if (r != ReadResult::ok) return failure("connection closed before the manifest was uploaded");
    if (type == kMessageChunkBatch) {
      if (serve_batch(s) != 0) return 1;
      continue;
    }
    if (type == kMessageFinal) break;
    char text[64];
    std::snprintf(text, sizeof text, "unknown message type 0x%02X", type);
    return failure(text);
  }

  std::string name;
  if (serve_upload(s, &name) != 0) return 1;
  if (faults.close_at == CloseAt::confirmation) return closed_by_fault("snapshot confirmation");
  uint8_t confirmation[kConfirmationSize];
  build_confirmation(name, faults.confirmation, confirmation);
  if (!write_all(s, confirmation, sizeof confirmation))
    return failure("connection closed before the confirmation of snapshot " + name + " was sent");

  // The client's only move left is to close its side.
  uint8_t extra;
  if (read_exact(s, &extra, 1) != ReadResult::end_before_first_byte)
    return failure("the client sent bytes after the snapshot confirmation");
  if (faults.linger_seconds > 0) {
    server_message("fault: staying alive for " + std::to_string(faults.linger_seconds) + " s");
    io_sleep_seconds(faults.linger_seconds);
  }
  if (faults.exit_code_set) {
    server_message("fault: exiting with " + std::to_string(faults.exit_code));
    return faults.exit_code;
  }
  return 0;
}

}  // namespace

int run_receive(const std::string& store_directory, int in_fd, int out_fd, const ReceiveFaults& faults) {
  Session* session = new Session;
  session->in_fd = in_fd;
  session->out_fd = out_fd;
  session->faults = &faults;
  std::string error;
  int code;
  if (!store_open(&session->store, store_directory, true, &error)) {
    code = failure(error);
  } else {
    code = serve_session(session);
  }
  store_close(&session->store);
  delete session;
  return code;
}

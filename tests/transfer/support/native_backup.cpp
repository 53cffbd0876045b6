#include "tests/transfer/support/native_backup.h"

#include <lz4.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "agent/platform/substitute/substitute_volume.h"
#include "agent/transfer/server_channel.h"
#include "core/chunk_hash.h"
#include "tests/support/child_process.h"
#include "tests/support/refserver_run.h"
#include "tests/support/run_agent.h"

namespace {

std::u16string windows_path(const std::string& relative) {
  std::u16string path = u"C:\\src\\" + u16(relative);
  for (auto& c : path) {
    if (c == u'/') c = u'\\';
  }
  return path;
}

}  // namespace

void load_tree_into_substitute(const SampleTree& tree) {
  substitute_reset();
  uint64_t time = 133000000000000000ull;
  substitute_add_directory(u"C:\\src").last_write_time = time;
  for (const auto& d : tree.directories) substitute_add_directory(windows_path(d)).last_write_time = time;
  for (const auto& f : tree.files) substitute_add_file(windows_path(f.relative_path), f.content).last_write_time = time;
}

NativeBackup run_native_backup(const std::string& store, const std::vector<std::u16string>& extra,
                               const std::vector<std::string>& server_faults) {
  ChildProcess server = start_child({refserver_path(), "receive", "--store", store, "--faults-from-environment"},
                                    {.environment = server_faults});
  ChildProcess agent = start_forked([&]() -> int {
    // The fatal path exits with 1 and leaves its handles to the process's end;
    // the leak check belongs to the test process, not to this stand-in.
    atexit([] { _exit(1); });
    // --stdio keeps the channel on standard input and output: the relay's pipes.
    server_channel = ServerChannel{};
    std::vector<std::u16string> args = {u"backup", u"--source", u"C:\\src", u"--stdio"};
    args.insert(args.end(), extra.begin(), extra.end());
    _exit(run_agent(args));
  });
  JoinedChildren joined = join_children(&agent, &server, 600);
  NativeBackup run;
  run.exit_code = joined.first.exit_code;
  run.err = joined.first.err;
  run.server_status = joined.second.exit_code;
  run.server_err = joined.second.err;
  run.to_server.assign(joined.first.out.begin(), joined.first.out.end());
  run.from_server.assign(joined.second.out.begin(), joined.second.out.end());
  return run;
}

namespace {

struct Reader {
  const WireBytes& bytes;
  size_t at = 0;
  bool take(size_t n, const uint8_t** p) {
    if (bytes.size() - at < n) return false;
    *p = bytes.data() + at;
    at += n;
    return true;
  }
};

uint32_t u32_at(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint64_t u64_at(const uint8_t* p) { return u32_at(p) | static_cast<uint64_t>(u32_at(p + 4)) << 32; }

}  // namespace

WireTally tally_wire(const WireBytes& to_server, const WireBytes& from_server) {
  WireTally tally;
  Reader out{to_server}, in{from_server};
  const uint8_t* p;
  auto fail = [&](const std::string& why) {
    tally.problem = why + " (agent offset " + std::to_string(out.at) + ", server offset " + std::to_string(in.at) + ")";
    return tally;
  };
  if (!out.take(9, &p) || memcmp(p, "VARDOR07\0", 9) != 0) return fail("no hello");
  if (!in.take(8, &p) || memcmp(p, "VARDOR07", 8) != 0) return fail("no hello answer");
  for (;;) {
    if (!out.take(1, &p)) return fail("no message type");
    if (*p == 0x02) break;
    if (*p != 0x01) return fail("unknown message type");
    if (!out.take(4, &p)) return fail("short batch header");
    uint32_t n = u32_at(p);
    if (n == 0 || n > 2048) return fail("batch size");
    ++tally.batches;
    tally.chunks += n;
    if (n > tally.largest_batch) tally.largest_batch = n;
    const uint8_t* descriptors;
    if (!out.take(52ull * n, &descriptors)) return fail("short descriptors");
    const uint8_t* bitmap;
    if (!in.take(n, &bitmap)) return fail("short bitmap");
    for (uint32_t j = 0; j < n; ++j) {
      if (bitmap[j] != 0) continue;
      const uint8_t* d = descriptors + 52ull * j;
      uint32_t length = u32_at(d);
      if (!out.take(4, &p)) return fail("short frame header");
      uint32_t l = u32_at(p);
      const uint8_t* payload;
      if (l > length || !out.take(l, &payload)) return fail("bad frame length");
      std::vector<uint8_t> chunk(length);
      if (l == length) {
        ++tally.raw_frames;
        memcpy(chunk.data(), payload, l);
      } else if (LZ4_decompress_safe(reinterpret_cast<const char*>(payload), reinterpret_cast<char*>(chunk.data()),
                                     static_cast<int>(l), static_cast<int>(length)) != static_cast<int>(length)) {
        return fail("LZ4 block does not give the chunk's length");
      }
      ChunkXxh3 h = chunk_xxh3_128(chunk.data(), chunk.size());
      uint8_t blake[32];
      chunk_blake3(chunk.data(), chunk.size(), blake);
      if (u64_at(d + 4) != h.low || u64_at(d + 12) != h.high || memcmp(d + 20, blake, 32) != 0) {
        return fail("payload does not match its descriptor");
      }
      ++tally.frames;
      tally.frame_chunk_bytes += length;
      tally.frame_wire_bytes += 4 + l;
    }
    if (!in.take(8ull * n, &p)) return fail("short chunk IDs");
  }
  if (!out.take(8, &p)) return fail("short final message");
  tally.manifest_length = u64_at(p);
  if (!out.take(tally.manifest_length, &p)) return fail("short manifest");
  if (!in.take(129, &p)) return fail("short confirmation");
  if (out.at != to_server.size() || in.at != from_server.size()) return fail("bytes after the conversation");
  tally.complete = true;
  return tally;
}

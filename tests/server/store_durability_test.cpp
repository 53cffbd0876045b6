// `receive` killed at random points never loses what it confirmed, and two
// runs into one store at once both succeed without corrupting it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <random>
#include <thread>

#include "session_script.h"

namespace {

constexpr uint32_t kBatches = 3;
constexpr uint32_t kBatchSize = 64;

struct Ledger {
  std::map<uint64_t, Bytes> chunk_by_id;          // every ID a client was ever sent
  std::map<std::string, Bytes> snapshots;         // confirmed name -> its manifest
  std::map<std::string, std::vector<Bytes>> files;  // confirmed name -> file contents in order
};

Bytes manifest_of(const std::vector<std::pair<uint64_t, Bytes>>& named) {
  std::vector<TestEntry> entries = {dir_entry(".")};
  for (size_t i = 0; i < named.size(); ++i)
    entries.push_back(file_entry("c" + std::to_string(i), named[i].second.size(), {named[i].first}));
  return manifest_bytes(entries);
}

// The server of the session under way, for the killer; -1 once it is reaped.
struct Target {
  std::mutex lock;
  pid_t pid = -1;
};

// One session that may be killed under it at any moment; records what the
// client was told.
void session(const std::string& store, uint32_t run, const std::vector<Bytes>& reused, Target* target,
             Ledger* ledger, std::vector<std::pair<uint64_t, Bytes>>* named) {
  ChildProcess server;
  {
    std::lock_guard<std::mutex> hold(target->lock);
    server = start_child({refserver_path(), "receive", "--store", store});
    target->pid = server.pid;
  }
  bool alive = child_write(&server, hello_bytes()) && child_read(&server, 8).size() == 8;
  for (uint32_t b = 0; alive && b < kBatches; ++b) {
    std::vector<Bytes> chunks;
    for (uint32_t k = 0; k < kBatchSize; ++k) {
      // A quarter of each batch repeats chunks of earlier runs.
      if (k % 4 == 0 && !reused.empty()) chunks.push_back(reused[(run * 7 + k) % reused.size()]);
      else if (k % 8 == 1) chunks.push_back(Bytes(4096, static_cast<uint8_t>(run + b)));  // compressible
      else chunks.push_back(pattern_chunk(4096, run * 100000 + b * 1000 + k));
    }
    alive = child_write(&server, batch_bytes(chunks));
    const Bytes bitmap = alive ? child_read(&server, kBatchSize) : Bytes{};
    alive = bitmap.size() == kBatchSize;
    Bytes frames;
    for (uint32_t k = 0; alive && k < kBatchSize; ++k)
      if (bitmap[k] == 0) put_bytes(frames, smallest_frame(chunks[k]));
    alive = alive && child_write(&server, frames);
    const Bytes ids = alive ? child_read(&server, 8 * kBatchSize) : Bytes{};
    for (size_t k = 0; k < ids.size() / 8; ++k) {  // whatever arrived was sent
      ledger->chunk_by_id[id_at(ids, k)] = chunks[k];
      named->emplace_back(id_at(ids, k), chunks[k]);
    }
    alive = ids.size() == 8 * kBatchSize;
  }
  if (alive) {
    const Bytes manifest = manifest_of(*named);
    Bytes upload = final_bytes(manifest.size());
    put_bytes(upload, manifest);
    const Bytes confirmation = child_write(&server, upload) ? child_read(&server, 129) : Bytes{};
    if (confirmation.size() == 129) {
      const std::string name(confirmation.begin(), std::find(confirmation.begin(), confirmation.end(), 0));
      ledger->snapshots[name] = manifest;
      for (const auto& [id, bytes] : *named) ledger->files[name].push_back(bytes);
    }
  }
  std::lock_guard<std::mutex> hold(target->lock);
  child_finish(&server);
  target->pid = -1;
}

void expect_snapshot_restores(const std::string& store, const std::string& root, const std::string& name,
                              const std::vector<Bytes>& files) {
  const std::string target = root + "/restore-" + name;
  const ChildResult r = run_refserver({"restore", "--store", store, "--snapshot", name, "--target", target});
  ASSERT_EQ(r.exit_code, 0) << name << ": " << r.err;
  for (size_t i = 0; i < files.size(); ++i)
    EXPECT_EQ(read_file(target + "/c" + std::to_string(i)), files[i]) << name << " file " << i;
}

TEST(StoreDurability, KilledAtRandomPointsKeepsEverythingItConfirmed) {
  const std::string root = fresh_directory("durability");
  const std::string store = root + "/store";
  Ledger ledger;
  std::mt19937 random(20240611);
  std::vector<Bytes> seen;
  // The store exists before the first kill (creating it is idempotent anyway).
  std::string errors;
  ASSERT_FALSE(upload_fresh(store, {}, manifest_bytes({dir_entry(".")}), &errors).empty()) << errors;
  uint32_t killed = 0;
  unsigned full_session_us = 0;
  for (uint32_t run = 0; run <= 30; ++run) {
    Target target;
    // Run 0 is left alone and measured; the kills spread over that span and a
    // little beyond, so some runs get to confirm their snapshot.
    const unsigned delay_us =
        run == 0 ? 0 : std::uniform_int_distribution<unsigned>(0, full_session_us * 5 / 4)(random);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::pair<uint64_t, Bytes>> named;
    std::thread client([&] { session(store, run, seen, &target, &ledger, &named); });
    // The killer hits whatever the server is doing after the delay.
    if (run == 0) {
      client.join();
      full_session_us = static_cast<unsigned>(
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
      for (const auto& [id, bytes] : named) seen.push_back(bytes);
      continue;
    }
    usleep(delay_us);
    {
      std::lock_guard<std::mutex> hold(target.lock);
      if (target.pid > 0 && kill(target.pid, SIGKILL) == 0) killed += 1;
    }
    client.join();
    for (const auto& [id, bytes] : named) seen.push_back(bytes);

    const ChildResult check = run_refserver({"check-store", "--store", store});
    ASSERT_EQ(check.exit_code, 0) << "after run " << run << ": " << check.out << check.err;
  }
  std::printf("durability: session of %u us, %u of 30 runs signalled, %zu IDs handed out, %zu snapshots confirmed\n",
              full_session_us, killed,
              ledger.chunk_by_id.size(), ledger.snapshots.size());

  // Every ID ever sent still names its chunk: a fresh upload may cite them
  // all, and what it restores is what was sent under each ID.
  std::vector<std::pair<uint64_t, Bytes>> everything(ledger.chunk_by_id.begin(), ledger.chunk_by_id.end());
  const std::string all = upload_fresh(store, {}, manifest_of(everything), &errors);
  ASSERT_FALSE(all.empty()) << errors;
  std::vector<Bytes> contents;
  for (const auto& [id, bytes] : everything) contents.push_back(bytes);
  expect_snapshot_restores(store, root, all, contents);
  for (const auto& [name, files] : ledger.files) expect_snapshot_restores(store, root, name, files);
}

TEST(StoreDurability, TwoConcurrentRunsBothSucceed) {
  const std::string root = fresh_directory("concurrent");
  const std::string store = root + "/store";
  std::set<Bytes> distinct;
  for (uint32_t round = 0; round < 3; ++round) {
    Ledger ledgers[2];
    std::vector<std::pair<uint64_t, Bytes>> named[2];
    Target targets[2];
    // Both runs offer the same chunks in part (the first run's seeds overlap
    // the second's), so they race to store them.
    std::vector<Bytes> shared;
    for (uint32_t k = 0; k < 32; ++k) shared.push_back(pattern_chunk(4096, 900000 + round * 100 + k));
    std::thread a([&] { session(store, 1000 + round, shared, &targets[0], &ledgers[0], &named[0]); });
    std::thread b([&] { session(store, 2000 + round, shared, &targets[1], &ledgers[1], &named[1]); });
    a.join();
    b.join();
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(ledgers[i].snapshots.size(), 1u) << "run " << i << " of round " << round;
      for (const auto& [id, bytes] : ledgers[i].chunk_by_id) distinct.insert(bytes);
      for (const auto& [name, files] : ledgers[i].files) expect_snapshot_restores(store, root, name, files);
    }
    // The same chunk got the same ID in both runs.
    for (const auto& [id, bytes] : ledgers[0].chunk_by_id)
      for (const auto& [other_id, other_bytes] : ledgers[1].chunk_by_id)
        if (bytes == other_bytes) {
          EXPECT_EQ(id, other_id);
        }
  }
  const ChildResult check = run_refserver({"check-store", "--store", store});
  EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
  // Every distinct chunk stored once, however the two runs raced.
  EXPECT_NE(check.err.find("chunks=" + std::to_string(distinct.size()) + " "), std::string::npos) << check.err;
}

}  // namespace

// Each VARDOKEEP_FAULT_* variable makes `receive` misbehave in exactly the
// way the agent's failure tests need.
#include <gtest/gtest.h>

#include <functional>

#include "tests/support/refserver_run.h"
#include "wire_bytes.h"

namespace {

struct Outcome {
  Bytes answer;  // everything the server wrote
  int status;
  std::string errors;
};

// Hello, one batch of two new chunks (frames for all), and an upload of a
// manifest naming them; all written up front, as a correct client would
// write it against a fresh store.
Outcome run_with_fault(const std::string& variable, uint32_t seed) {
  const std::string store = fresh_directory("fault") + "/store";
  const Bytes a = pattern_chunk(4096, seed), b = pattern_chunk(10, seed + 1);
  Bytes script = hello_bytes();
  put_bytes(script, batch_bytes({a, b}));
  put_bytes(script, raw_frame(a));
  put_bytes(script, raw_frame(b));
  const Bytes manifest = manifest_bytes({dir_entry("."), file_entry("f", 4106, {1, 2})});
  put_bytes(script, final_bytes(manifest.size()));
  put_bytes(script, manifest);
  ChildProcess server = start_child({refserver_path(), "receive", "--store", store, "--faults-from-environment"},
                                    {.environment = {variable}});
  child_write(&server, script);
  child_close_input(&server);
  Outcome outcome;
  outcome.answer = child_read_rest(&server);
  outcome.status = child_finish(&server, &outcome.errors);
  return outcome;
}

const size_t kHello = 8, kBitmap = 2, kIds = 16, kConfirmation = 129;

TEST(ReceiveFaults, EachVariableCommitsItsFault) {
  const struct {
    const char* variable;
    int status;
    size_t answer_size;
    std::function<void(const Bytes&)> check;
  } cases[] = {
      {"VARDOKEEP_FAULT_HELLO_ANSWER=VARDOR06", 0, kHello + kBitmap + kIds + kConfirmation,
       [](const Bytes& a) { EXPECT_EQ(std::string(a.begin(), a.begin() + 8), "VARDOR06"); }},
      {"VARDOKEEP_FAULT_CLOSE_AT=hello", 1, 0, nullptr},
      {"VARDOKEEP_FAULT_CLOSE_AT=bitmap", 1, kHello, nullptr},
      {"VARDOKEEP_FAULT_CLOSE_AT=ids:1", 1, kHello + kBitmap, nullptr},
      {"VARDOKEEP_FAULT_CLOSE_AT=confirmation", 1, kHello + kBitmap + kIds, nullptr},
      {"VARDOKEEP_FAULT_BITMAP=1:3", 1, kHello + kBitmap,
       [](const Bytes& a) { EXPECT_EQ((Bytes{a[8], a[9]}), (Bytes{0, 3})); }},
      {"VARDOKEEP_FAULT_CHUNK_ID=1:0", 0, kHello + kBitmap + kIds + kConfirmation,
       [](const Bytes& a) { EXPECT_EQ(id_at(Bytes(a.begin() + 10, a.begin() + 26), 1), 0u); }},
      {"VARDOKEEP_FAULT_CHUNK_ID=0:2251799813685247", 0, kHello + kBitmap + kIds + kConfirmation,
       [](const Bytes& a) { EXPECT_EQ(id_at(Bytes(a.begin() + 10, a.begin() + 26), 0), 2251799813685247ull); }},
      {"VARDOKEEP_FAULT_CONFIRMATION=no-nul", 0, kHello + kBitmap + kIds + kConfirmation,
       [](const Bytes& a) { EXPECT_EQ(std::count(a.end() - 129, a.end(), 0), 0); }},
      {"VARDOKEEP_FAULT_CONFIRMATION=empty", 0, kHello + kBitmap + kIds + kConfirmation,
       [](const Bytes& a) { EXPECT_EQ(*(a.end() - 129), 0); }},
      {"VARDOKEEP_FAULT_CONFIRMATION=bad-name", 0, kHello + kBitmap + kIds + kConfirmation,
       [](const Bytes& a) { EXPECT_NE(std::find(a.end() - 129, a.end(), ':'), a.end()); }},
      {"VARDOKEEP_FAULT_CONFIRMATION=longest-name", 0, kHello + kBitmap + kIds + kConfirmation,
       [](const Bytes& a) {
         EXPECT_EQ(std::find(a.end() - 129, a.end(), 0) - (a.end() - 129), 128);
         EXPECT_EQ(a.back(), 0);
       }},
      {"VARDOKEEP_FAULT_CONFIRMATION=trailing-bytes", 0, kHello + kBitmap + kIds + kConfirmation,
       [](const Bytes& a) { EXPECT_EQ(a.back(), 0xFF); }},
      {"VARDOKEEP_FAULT_EXIT_CODE=7", 7, kHello + kBitmap + kIds + kConfirmation, nullptr},
      {"VARDOKEEP_FAULT_LINGER_SECONDS=1", 0, kHello + kBitmap + kIds + kConfirmation, nullptr},
      {"VARDOKEEP_FAULT_BITMAP=1:2", 2, 0, nullptr},  // refused: only invalid values
  };
  uint32_t seed = 1000;
  for (const auto& c : cases) {
    const Outcome o = run_with_fault(c.variable, seed += 10);
    EXPECT_EQ(o.status, c.status) << c.variable << ": " << o.errors;
    EXPECT_EQ(o.answer.size(), c.answer_size) << c.variable << ": " << o.errors;
    if (c.check && o.answer.size() == c.answer_size) c.check(o.answer);
  }
}

TEST(ReceiveFaults, ChunksBeforeAnInvalidBitmapByteAreKept) {
  // The agent sends the frames before the bad byte, then gives up.
  const std::string store = fresh_directory("bitmap-fault") + "/store";
  std::vector<Bytes> chunks;
  for (uint32_t k = 0; k < 7; ++k) chunks.push_back(pattern_chunk(4096, 500 + k));
  Bytes script = hello_bytes();
  put_bytes(script, batch_bytes(chunks));
  for (uint32_t k = 0; k < 5; ++k) put_bytes(script, raw_frame(chunks[k]));
  ChildProcess server = start_child({refserver_path(), "receive", "--store", store, "--faults-from-environment"},
                                    {.environment = {"VARDOKEEP_FAULT_BITMAP=5:3"}});
  child_write(&server, script);
  child_close_input(&server);
  const Bytes answer = child_read_rest(&server);
  EXPECT_EQ(child_finish(&server), 1);
  ASSERT_EQ(answer.size(), 8u + 7u);
  EXPECT_EQ(Bytes(answer.begin() + 8, answer.end()), (Bytes{0, 0, 0, 0, 0, 3, 0}));

  ChildProcess probe = start_child({refserver_path(), "receive", "--store", store});
  Bytes ask = hello_bytes();
  put_bytes(ask, batch_bytes(chunks));
  child_write(&probe, ask);
  child_close_input(&probe);
  const Bytes probe_answer = child_read_rest(&probe);
  child_finish(&probe);
  ASSERT_EQ(probe_answer.size(), 15u);
  EXPECT_EQ(Bytes(probe_answer.begin() + 8, probe_answer.end()), (Bytes{1, 1, 1, 1, 1, 0, 0}));
}

}  // namespace

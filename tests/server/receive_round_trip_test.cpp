// Scripted clients drive `vardokeep-refserver receive` byte by byte; what was
// uploaded must come back through restore and verify.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>

#include "tests/support/refserver_run.h"
#include "wire_bytes.h"

namespace {

ChildProcess start_receive(const std::string& store, const std::vector<std::string>& environment = {}) {
  return start_child({refserver_path(), "receive", "--store", store, "--faults-from-environment"},
                     {.environment = environment});
}

std::string as_text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// The snapshot name in a 129-byte confirmation, checked for its form.
std::string confirmed_name(const Bytes& confirmation) {
  EXPECT_EQ(confirmation.size(), 129u);
  const auto nul = std::find(confirmation.begin(), confirmation.end(), 0);
  EXPECT_NE(nul, confirmation.end());
  const std::string name(confirmation.begin(), nul);
  EXPECT_FALSE(name.empty());
  for (char c : name) EXPECT_TRUE(isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '-') << name;
  return name;
}

struct Upload {
  Bytes a = pattern_chunk(4096, 1);
  Bytes zeros = Bytes(4096, 0);
  Bytes tail = pattern_chunk(904, 2);
  Bytes one = {0x42};
  std::vector<Bytes> batch() const { return {a, zeros, tail, a, one}; }
  // IDs a fresh store gives: a=1, zeros=2, tail=3, one=4.
  Bytes manifest() const {
    TestEntry f = file_entry("d/f", 5000, {1, 3});
    f.modified = 133500000001234500ull;
    TestEntry g = file_entry("d/g", 4096, {2});
    TestEntry h = file_entry("h", 4096, {1});
    TestEntry s = file_entry("h:s", 1, {4});
    TestEntry d = dir_entry("d");
    d.modified = 133400000000000000ull;
    return manifest_bytes({dir_entry("."), d, f, g, h, s});
  }
};

std::string upload_once(const std::string& store, const Upload& u, Bytes* bitmap, Bytes* ids) {
  ChildProcess server = start_receive(store);
  EXPECT_TRUE(child_write(&server, hello_bytes()));
  EXPECT_EQ(as_text(child_read(&server, 8)), "VARDOR07");
  EXPECT_TRUE(child_write(&server, batch_bytes(u.batch())));
  *bitmap = child_read(&server, 5);
  Bytes frames;
  for (size_t j = 0; j < 5 && bitmap->size() == 5; ++j) {
    if ((*bitmap)[j] != 0) continue;
    put_bytes(frames, j == 1 ? lz4_frame(u.batch()[j]) : raw_frame(u.batch()[j]));
  }
  EXPECT_TRUE(child_write(&server, frames));
  *ids = child_read(&server, 40);
  const Bytes manifest = u.manifest();
  Bytes upload = final_bytes(manifest.size());
  put_bytes(upload, manifest);
  EXPECT_TRUE(child_write(&server, upload));
  const std::string name = confirmed_name(child_read(&server, 129));
  std::string errors;
  EXPECT_EQ(child_finish(&server, &errors), 0) << errors;
  return name;
}

TEST(ReceiveRoundTrip, UploadRestoresVerifiesAndIsNotSentTwice) {
  const std::string root = fresh_directory("round-trip");
  const std::string store = root + "/store";
  Upload u;
  Bytes bitmap, ids;
  const std::string first = upload_once(store, u, &bitmap, &ids);
  EXPECT_EQ(bitmap, (Bytes{0, 0, 0, 2, 0}));
  ASSERT_EQ(ids.size(), 40u);
  EXPECT_EQ((std::vector<uint64_t>{id_at(ids, 0), id_at(ids, 1), id_at(ids, 2), id_at(ids, 3), id_at(ids, 4)}),
            (std::vector<uint64_t>{1, 2, 3, 1, 4}));

  // The same chunks again: nothing travels, the same IDs come back.
  Bytes bitmap2, ids2;
  const std::string second = upload_once(store, u, &bitmap2, &ids2);
  EXPECT_EQ(bitmap2, (Bytes{1, 1, 1, 1, 1}));
  EXPECT_EQ(ids2, ids);
  EXPECT_LT(first, second);
  EXPECT_EQ(run_refserver({"list", "--store", store}).out, first + "\n" + second + "\n");

  const ChildResult entries = run_refserver({"entries", "--store", store, "--snapshot", first});
  EXPECT_EQ(entries.exit_code, 0) << entries.err;
  EXPECT_NE(entries.out.find("path=\"d/f\" kind=file mode=100644 size=5000 "), std::string::npos) << entries.out;
  EXPECT_NE(entries.out.find(" chunks=1,3\n"), std::string::npos) << entries.out;
  EXPECT_NE(entries.out.find("path=\"h:s\" kind=stream "), std::string::npos) << entries.out;

  const std::string target = root + "/restored";
  const ChildResult restored = run_refserver({"restore", "--store", store, "--snapshot", first, "--target", target});
  ASSERT_EQ(restored.exit_code, 0) << restored.err;
  Bytes expected_f = u.a;
  put_bytes(expected_f, u.tail);
  EXPECT_EQ(read_file(target + "/d/f"), expected_f);
  EXPECT_EQ(read_file(target + "/d/g"), u.zeros);
  EXPECT_EQ(read_file(target + "/h"), u.a);
  EXPECT_EQ(read_file(target + "/h:s"), u.one);
  struct stat st;
  ASSERT_EQ(stat((target + "/d/f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, (133500000001234500ll - 116444736000000000ll) / 10000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123450000);

  ChildResult verified = run_refserver({"verify", "--store", store, "--snapshot", first, "--tree", target});
  EXPECT_EQ(verified.exit_code, 0) << verified.out << verified.err;

  Bytes changed = u.zeros;
  changed[100] = 1;
  write_file(target + "/d/g", changed);
  write_file(target + "/extra", {});
  verified = run_refserver({"verify", "--store", store, "--snapshot", first, "--tree", target,
                            "--ignore-directory-times"});
  EXPECT_EQ(verified.exit_code, 1);
  EXPECT_NE(verified.out.find("content: d/g (chunk 0)\n"), std::string::npos) << verified.out;
  EXPECT_NE(verified.out.find("mtime: d/g"), std::string::npos) << verified.out;
  EXPECT_NE(verified.out.find("extra: extra\n"), std::string::npos) << verified.out;
  EXPECT_EQ(run_refserver({"check-store", "--store", store}).exit_code, 0);
}

TEST(ReceiveRoundTrip, BadPayloadsEndTheSessionAndAreNotStored) {
  const std::string store = fresh_directory("bad-payload") + "/store";
  const Bytes victim = pattern_chunk(4096, 8);
  const Bytes zeros(4096, 0);
  Bytes flipped_raw = raw_frame(victim);
  flipped_raw[4 + 10] ^= 0x01;
  Bytes short_lz4 = lz4_frame(Bytes(4095, 0));  // decompresses to 4095 bytes, not 4096
  Bytes too_long = raw_frame(victim);
  too_long[0] = 0x01, too_long[1] = 0x10;  // L = 4097 > 4096
  const struct {
    const char* name;
    Bytes chunk;
    Bytes frame;
    const char* message;
  } cases[] = {
      {"flipped byte", victim, flipped_raw, "does not match the hashes"},
      {"short LZ4 block", zeros, short_lz4, "not an LZ4 block of exactly 4096 bytes"},
      {"frame longer than chunk", victim, too_long, "longer than the chunk"},
  };
  uint32_t seed = 100;
  for (const auto& c : cases) {
    const Bytes good = pattern_chunk(4096, seed++);  // new to the store in every round
    ChildProcess server = start_receive(store);
    Bytes script = hello_bytes();
    put_bytes(script, batch_bytes({good, c.chunk}));
    put_bytes(script, raw_frame(good));
    put_bytes(script, c.frame);
    child_write(&server, script);
    child_close_input(&server);
    const Bytes answer = child_read_rest(&server);
    std::string errors;
    EXPECT_EQ(child_finish(&server, &errors), 1) << c.name;
    EXPECT_NE(errors.find(c.message), std::string::npos) << c.name << ": " << errors;
    EXPECT_EQ(answer.size(), 8u + 2u) << c.name << ": no IDs after a bad payload";

    // The good chunk before it was kept; the bad one was not.
    ChildProcess probe = start_receive(store);
    Bytes ask = hello_bytes();
    put_bytes(ask, batch_bytes({good, c.chunk}));
    child_write(&probe, ask);
    child_close_input(&probe);
    const Bytes probe_answer = child_read_rest(&probe);
    child_finish(&probe);
    ASSERT_EQ(probe_answer.size(), 10u);
    EXPECT_EQ(probe_answer[8], 1) << c.name;
    EXPECT_EQ(probe_answer[9], 0) << c.name;
  }
  EXPECT_EQ(run_refserver({"check-store", "--store", store}).exit_code, 0);
}

}  // namespace

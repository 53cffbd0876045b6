// Broken or hostile clients get a clear message and a non-zero exit, never a
// crash, and the store stays sound.
#include <gtest/gtest.h>

#include "tests/support/refserver_run.h"
#include "wire_bytes.h"

namespace {

Bytes after_hello(std::initializer_list<Bytes> parts) {
  Bytes b = hello_bytes();
  for (const Bytes& p : parts) put_bytes(b, p);
  return b;
}

Bytes batch_with_count(uint32_t n) {
  Bytes b = {0x01};
  put_u32(b, n);
  return b;
}

Bytes upload(const Bytes& manifest) {
  Bytes b = final_bytes(manifest.size());
  put_bytes(b, manifest);
  return b;
}

TEST(ReceiveHostileInput, RefusedWithAMessageAndTheStoreStaysSound) {
  const std::string store = fresh_directory("hostile") + "/store";
  const Bytes chunk = pattern_chunk(100, 3);
  Bytes long_descriptor = batch_bytes({chunk});
  long_descriptor[5] = 0x01, long_descriptor[6] = 0x10;  // length 4097
  Bytes two_announced_one_sent = batch_bytes({chunk});
  two_announced_one_sent[1] = 2;
  const Bytes valid_root = manifest_bytes({dir_entry(".")});
  Bytes cut_manifest = final_bytes(valid_root.size());
  put_bytes(cut_manifest, Bytes(valid_root.begin(), valid_root.begin() + 100));

  const struct {
    const char* name;
    Bytes script;
    const char* message;
  } cases[] = {
      {"nothing at all", {}, "connection closed before the hello"},
      {"older protocol", Bytes{'V', 'A', 'R', 'D', 'O', 'R', '0', '6', 0}, "did not greet with VARDOR07"},
      {"hello without its zero byte", Bytes{'V', 'A', 'R', 'D', 'O', 'R', '0', '7', 1}, "did not greet"},
      {"unknown message type", after_hello({Bytes{0x03}}), "unknown message type 0x03"},
      {"closed before the manifest", after_hello({}), "closed before the manifest"},
      {"batch of 0", after_hello({batch_with_count(0)}), "batch of 0 chunks"},
      {"batch of 2049", after_hello({batch_with_count(2049)}), "batch of 2049 chunks"},
      {"batch of 2^32 - 1", after_hello({batch_with_count(0xFFFFFFFF)}), "batch of 4294967295 chunks"},
      {"descriptor of 4097 bytes", after_hello({long_descriptor}), "4097 bytes"},
      {"descriptors cut short", after_hello({two_announced_one_sent}), "inside the chunk descriptors"},
      {"payload cut short", after_hello({batch_bytes({chunk}), Bytes{100, 0, 0, 0, 1, 2}}), "inside the payload"},
      {"manifest of 7 bytes", after_hello({upload(Bytes{'V', 'A', 'R', 'D', 'O', 'M', '0'})}), "outside 8 bytes"},
      {"manifest of 2^40 bytes", after_hello({final_bytes(1ull << 40)}), "outside 8 bytes"},
      {"manifest cut short", after_hello({cut_manifest}), "connection closed after 100 of 303"},
      {"manifest with a bad magic", after_hello({upload(Bytes{'V', 'A', 'R', 'D', 'O', 'M', '0', '5'})}),
       "manifest refused: manifest: manifest magic"},
      {"manifest naming a chunk never stored",
       after_hello({upload(manifest_bytes({dir_entry("."), file_entry("f", 5, {99})}))}),
       "which the store does not hold"},
      {"bytes after the confirmation", after_hello({upload(valid_root), Bytes{0}}), "bytes after the snapshot"},
  };
  for (const auto& c : cases) {
    ChildProcess server = start_child({refserver_path(), "receive", "--store", store});
    child_write(&server, c.script);
    child_close_input(&server);
    child_read_rest(&server);
    std::string errors;
    EXPECT_EQ(child_finish(&server, &errors), 1) << c.name;
    EXPECT_NE(errors.find(c.message), std::string::npos) << c.name << ": " << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << c.name << ": one line: " << errors;
  }
  // Only the session that went as far as the confirmation left a snapshot.
  const ChildResult list = run_refserver({"list", "--store", store});
  EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 1) << list.out;
  EXPECT_EQ(run_refserver({"check-store", "--store", store}).exit_code, 0);
}

TEST(ReceiveHostileInput, ManifestSlotMustNameAChunkOfItsLength) {
  const std::string store = fresh_directory("slot-length") + "/store";
  const Bytes small = pattern_chunk(10, 4);
  ChildProcess server = start_child({refserver_path(), "receive", "--store", store});
  Bytes script = after_hello({batch_bytes({small}), raw_frame(small)});
  // ID 1 holds 10 bytes, but the first chunk of a 4096-byte file holds 4096.
  put_bytes(script, upload(manifest_bytes({dir_entry("."), file_entry("f", 4096, {1})})));
  child_write(&server, script);
  child_close_input(&server);
  const Bytes answer = child_read_rest(&server);
  std::string errors;
  EXPECT_EQ(child_finish(&server, &errors), 1);
  EXPECT_EQ(answer.size(), 8u + 1u + 8u) << "no confirmation";
  EXPECT_NE(errors.find("of 10 bytes where 4096 belong"), std::string::npos) << errors;
  EXPECT_EQ(run_refserver({"list", "--store", store}).out, "");
}

}  // namespace

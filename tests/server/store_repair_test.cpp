// A store that a killed run or a damaged disk left behind: unfinished tails
// are cut away, real damage is reported and left alone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "session_script.h"

namespace {

uint64_t file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

void append(const std::string& path, const Bytes& bytes) {
  Bytes all = read_file(path);
  put_bytes(all, bytes);
  write_file(path, all);
}

struct TwoChunkStore {
  std::string root = fresh_directory("repair");
  std::string store = root + "/store";
  std::string log = store + "/chunks.log";
  Bytes a = pattern_chunk(4096, 31), b = pattern_chunk(100, 32);
  std::string name;
  TwoChunkStore() {
    std::string errors;
    name = upload_fresh(store, {a, b}, manifest_bytes({dir_entry("."), file_entry("f", 4196, {1, 2})}), &errors);
    EXPECT_FALSE(name.empty()) << errors;
    EXPECT_EQ(file_size(log), 8u + (72 + 4096) + (72 + 100));
  }
};

TEST(StoreRepair, UnfinishedTailIsCutAndIdsRunOn) {
  const struct {
    const char* name;
    Bytes tail;
  } tails[] = {
      {"half a record header", Bytes(40, 0x56)},
      {"a header without its bytes", Bytes{0x56, 0x43, 0x52, 0x31, 1, 2, 3, 4, 3, 0, 0, 0, 0, 0, 0, 0}},
      {"zeros longer than a record", Bytes(10000, 0)},
  };
  for (const auto& t : tails) {
    TwoChunkStore s;
    const uint64_t clean = file_size(s.log);
    append(s.log, t.tail);
    const ChildResult check = run_refserver({"check-store", "--store", s.store});
    EXPECT_EQ(check.exit_code, 0) << t.name << ": " << check.out << check.err;
    EXPECT_NE(check.err.find("chunks=2 "), std::string::npos) << t.name << ": " << check.err;
    EXPECT_EQ(file_size(s.log), clean) << t.name;
    // The next chunk gets ID 3: nothing was reused.
    const Bytes c = pattern_chunk(10, 33);
    std::string errors;
    EXPECT_FALSE(upload_fresh(s.store, {c}, manifest_bytes({dir_entry("."), file_entry("g", 10, {3})}), &errors).empty())
        << t.name << ": " << errors;
  }
}

TEST(StoreRepair, DamageBeforeTheTailIsReportedNotCut) {
  TwoChunkStore s;
  Bytes log = read_file(s.log);
  log[8 + 72 + 500] ^= 0x20;  // inside chunk 1, with chunk 2 after it
  write_file(s.log, log);
  const ChildResult check = run_refserver({"check-store", "--store", s.store});
  EXPECT_EQ(check.exit_code, 1);
  EXPECT_NE(check.err.find("chunk log damaged at offset 8"), std::string::npos) << check.err;
  EXPECT_EQ(read_file(s.log), log) << "nothing cut away";
  const ChildResult restore =
      run_refserver({"restore", "--store", s.store, "--snapshot", s.name, "--target", s.root + "/out"});
  EXPECT_EQ(restore.exit_code, 1);
}

TEST(StoreRepair, ConfirmedRecordsAreNeverCutAndTheirIdsNeverReissued) {
  // One damaged byte in the last confirmed record looks like an unfinished
  // append, but its ID was sent: cutting it would hand ID 2 out again.
  TwoChunkStore s;
  Bytes log = read_file(s.log);
  log[log.size() - 10] ^= 0x01;
  write_file(s.log, log);
  const ChildResult check = run_refserver({"check-store", "--store", s.store});
  EXPECT_EQ(check.exit_code, 1);
  EXPECT_NE(check.err.find("chunk log damaged at offset " + std::to_string(8 + 72 + 4096)), std::string::npos)
      << check.err;
  EXPECT_EQ(read_file(s.log), log) << "nothing cut away";
  // The store still takes sessions; new content gets ID 3, and the damaged
  // chunk's content, sent again, is stored anew under ID 4.
  std::string errors;
  EXPECT_FALSE(upload_fresh(s.store, {pattern_chunk(10, 33)}, manifest_bytes({dir_entry("."), file_entry("g", 10, {3})}),
                            &errors).empty())
      << errors;
  EXPECT_FALSE(upload_fresh(s.store, {s.b}, manifest_bytes({dir_entry("."), file_entry("h", 100, {4})}), &errors).empty())
      << errors;
}

TEST(StoreRepair, TornAppendPastTheConfirmedCountIsCut) {
  // A crash made a later page of an append durable but not an earlier one:
  // nothing past the confirmed count was ever promised, so the store cuts it
  // instead of refusing every later session.
  TwoChunkStore s;
  const uint64_t clean = file_size(s.log);
  Bytes torn(4096, 0);
  put_bytes(torn, pattern_chunk(4096, 34));
  append(s.log, torn);
  EXPECT_EQ(run_refserver({"list", "--store", s.store}).out, s.name + "\n");
  EXPECT_EQ(file_size(s.log), clean);
  std::string errors;
  EXPECT_FALSE(upload_fresh(s.store, {pattern_chunk(10, 35)}, manifest_bytes({dir_entry("."), file_entry("g", 10, {3})}),
                            &errors).empty())
      << errors;
}

TEST(StoreRepair, DamagedSnapshotsAndStrayFilesAreTold) {
  TwoChunkStore s;
  write_file(s.store + "/incoming/123-1-0.part", Bytes(5, 1));
  write_file(s.store + "/snapshots/notes.txt", Bytes(5, 1));
  EXPECT_EQ(run_refserver({"list", "--store", s.store}).out, s.name + "\n");
  EXPECT_EQ(run_refserver({"check-store", "--store", s.store}).exit_code, 0);

  const std::string path = s.store + "/snapshots/" + s.name;
  Bytes manifest = read_file(path);
  manifest.resize(manifest.size() - 3);
  write_file(path, manifest);
  const ChildResult check = run_refserver({"check-store", "--store", s.store});
  EXPECT_EQ(check.exit_code, 1);
  EXPECT_NE(check.out.find("snapshot " + s.name + ": manifest: chunk-ID slots run past the end"), std::string::npos)
      << check.out;
  const ChildResult restore =
      run_refserver({"restore", "--store", s.store, "--snapshot", s.name, "--target", s.root + "/out"});
  EXPECT_EQ(restore.exit_code, 1);
  EXPECT_EQ(run_refserver({"restore", "--store", s.store, "--snapshot", "../x", "--target", s.root + "/o"}).exit_code,
            1);
}

}  // namespace

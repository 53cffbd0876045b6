// Writes each fuzzer's seed corpus, in a folder named after it below the
// directory given: metadata files, descriptors, manifests and whole client
// sessions, laid out by the tests' own builders.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/metadata_restore/metadata_file_builder.h"
#include "tests/server/wire_bytes.h"

static void write_seed(const std::string& directory, const std::string& name, const Bytes& bytes) {
  std::string path = directory + "/" + name;
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) {
    perror(path.c_str());
    std::exit(1);
  }
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: fuzz_seed_corpus DIRECTORY\n");
    return 2;
  }
  std::string root = argv[1];
  std::string reader = root + "/metadata_file_reader_fuzzer";
  std::string descriptor = root + "/security_descriptor_fuzzer";
  std::string manifest = root + "/manifest_reader_fuzzer";
  std::string session = root + "/receive_session_fuzzer";
  for (const std::string& directory : {root, reader, descriptor, manifest, session}) mkdir(directory.c_str(), 0755);

  write_seed(reader, "empty", build_metadata_file({}));
  write_seed(reader, "root", build_metadata_file({{".", test_descriptor(true), 2, 0x10, 1, 2}}));
  std::vector<TestRecord> tree = {{".", test_descriptor(true), 2, 0x10, 1, 2},
                                  {"a", test_descriptor(), 2, 0x12, 3, 4},
                                  {"a/f.txt", test_descriptor(), 1, 0x21, 5, 6},
                                  {"a/b:stream", test_descriptor(), 1, 0x20, 7, 8},
                                  {"a/../x. ", test_descriptor(), 1, 0x420, 9, 10}};
  write_seed(reader, "tree", build_metadata_file(tree));
  Bytes broken_chain = build_metadata_file(tree);
  set_le(broken_chain, record_offsets(tree)[2], 0, 8);
  fix_checksum(broken_chain);
  write_seed(reader, "broken_chain", broken_chain);

  write_seed(descriptor, "dacl", test_descriptor());
  write_seed(descriptor, "protected", test_descriptor(true));
  Bytes with_sacl = test_descriptor();
  set_le(with_sacl, 12, TD_DACL, 4);
  write_seed(descriptor, "sacl", with_sacl);
  Bytes header_only = test_descriptor();
  header_only.resize(20);
  for (size_t i = 4; i < 20; ++i) header_only[i] = 0;
  write_seed(descriptor, "header_only", header_only);

  // Chunk IDs as a fresh store hands them out for the session below: a=1, b=2, zeros=3.
  const Bytes a = pattern_chunk(3, 1), b = pattern_chunk(1, 2), zeros(4096, 0), c = pattern_chunk(5, 3);
  TestEntry f = file_entry("d/f", 3, {1});
  f.security = test_descriptor();
  const Bytes walked = manifest_bytes({dir_entry("."), dir_entry("d"), f, file_entry("d/f:s", 1, {2}),
                                     reparse_entry("d/j"), file_entry("d:t", 4096, {3}), file_entry("g", 0, {})});
  const Bytes root_only = manifest_bytes({dir_entry(".")});
  write_seed(manifest, "magic_only", manifest_bytes({}));
  write_seed(manifest, "root", root_only);
  write_seed(manifest, "tree", walked);
  write_seed(manifest, "zero_slots",
             manifest_bytes({dir_entry("."), file_entry("f", 5000, {0, 0}), file_entry("f:s", 4097, {0, 0})}));

  Bytes empty_session = hello_bytes();
  put_bytes(empty_session, final_bytes(root_only.size()));
  put_bytes(empty_session, root_only);
  write_seed(session, "no_chunks", empty_session);
  // Bitmap 0, 0, 0, 2: the repeated chunk's payload is not sent.
  Bytes one_batch = hello_bytes();
  put_bytes(one_batch, batch_bytes({a, b, zeros, a}));
  put_bytes(one_batch, raw_frame(a));
  put_bytes(one_batch, raw_frame(b));
  put_bytes(one_batch, lz4_frame(zeros));
  Bytes two_batches = one_batch;
  put_bytes(one_batch, final_bytes(walked.size()));
  put_bytes(one_batch, walked);
  write_seed(session, "one_batch", one_batch);
  // The second batch: a is held (1), c is new (0).
  put_bytes(two_batches, batch_bytes({a, c}));
  put_bytes(two_batches, raw_frame(c));
  const Bytes with_c = manifest_bytes({dir_entry("."), file_entry("a", 3, {1}), file_entry("c", 5, {4})});
  put_bytes(two_batches, final_bytes(with_c.size()));
  put_bytes(two_batches, with_c);
  write_seed(session, "two_batches", two_batches);
  return 0;
}

// Writes the seed corpora: corpus/metadata_file_reader_fuzzer/ and
// corpus/security_descriptor_fuzzer/ below the directory given.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/metadata_restore/metadata_file_builder.h"

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
  mkdir(root.c_str(), 0755);
  mkdir(reader.c_str(), 0755);
  mkdir(descriptor.c_str(), 0755);

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
  return 0;
}

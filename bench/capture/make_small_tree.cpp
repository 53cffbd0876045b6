// The scale benchmark's trees: COUNT small files of 0 to 20 KiB, a hundred per
// folder, folders a000/b00 to a099/b99 and on (a hundred b-folders per
// a-folder). Sizes and bytes come from a fixed seed, so a tree of a given
// count is the same every time it is made.
//
//   make_small_tree DIR COUNT
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

uint64_t state = 4242;
uint64_t next() {  // xorshift64
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

void make_directory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0 && access(path.c_str(), F_OK) != 0) {
    perror(path.c_str());
    exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "use: make_small_tree DIR COUNT\n");
    return 2;
  }
  std::string root = argv[1];
  uint64_t count = strtoull(argv[2], nullptr, 10);
  const size_t largest = 20 * 1024;
  std::vector<uint8_t> pool(1 << 20);
  for (auto& b : pool) b = static_cast<uint8_t>(next() >> 24);
  make_directory(root);
  char name[64];
  for (uint64_t i = 0; i < count; ++i) {
    if (i % 10000 == 0) {
      snprintf(name, sizeof name, "/a%03llu", static_cast<unsigned long long>(i / 10000));
      make_directory(root + name);
    }
    std::string folder = root + name;
    char below[32];
    snprintf(below, sizeof below, "/b%02llu", static_cast<unsigned long long>(i / 100 % 100));
    folder += below;
    if (i % 100 == 0) make_directory(folder);
    char file[32];
    snprintf(file, sizeof file, "/f%02llu.dat", static_cast<unsigned long long>(i % 100));
    size_t size = next() % (largest + 1);
    size_t at = next() % (pool.size() - largest);
    std::string path = folder + file;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, pool.data() + at, size) != static_cast<ssize_t>(size) || close(fd) != 0) {
      perror(path.c_str());
      return 1;
    }
  }
  return 0;
}

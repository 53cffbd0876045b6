#include "tests/transfer/support/sample_tree.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>

namespace {

std::vector<uint8_t> random_content(std::mt19937& random, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

// Text that LZ4 shrinks, different from file to file.
std::vector<uint8_t> text_content(std::mt19937& random, size_t size) {
  static const char* words[] = {"relatorio ", "backup ", "chunk ", "Vardokeep ", "2024-01-01 ", "linha\n"};
  std::vector<uint8_t> bytes;
  while (bytes.size() < size) {
    std::string word = words[random() % 6];
    if (random() % 7 == 0) word += std::to_string(random() % 100000) + " ";
    bytes.insert(bytes.end(), word.begin(), word.end());
  }
  bytes.resize(size);
  return bytes;
}

void make_directories(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
  }
  mkdir(path.c_str(), 0755);
}

}  // namespace

SampleTree sample_tree(uint32_t seed, uint32_t scale) {
  std::mt19937 random(seed);
  SampleTree tree;
  tree.directories = {"docs", "docs/relat\xc3\xb3rios", "docs/relat\xc3\xb3rios/2024", "vazio",
                      "\xe6\x97\xa5\xe6\x9c\xac", "a", "a/b", "a/b/c", "a/b/c/d", "a/b/c/d/e"};
  const size_t sizes[] = {0, 1, 2, 4095, 4096, 4097, 8191, 8192, 8193, 65536, 65537};
  int n = 0;
  for (size_t size : sizes) {
    const char* folder = n % 3 == 0 ? "docs" : n % 3 == 1 ? "docs/relat\xc3\xb3rios" : "a/b/c/d/e";
    tree.files.push_back({std::string(folder) + "/size-" + std::to_string(size) + ".bin", random_content(random, size)});
    tree.files.push_back({std::string(folder) + "/texto-" + std::to_string(size) + ".txt", text_content(random, size)});
    ++n;
  }
  tree.files.push_back({"leia-me \xc3\xa7\xc3\xa3o.txt", text_content(random, 1234)});
  tree.files.push_back({"\xe6\x97\xa5\xe6\x9c\xac/\xe3\x83\x87\xe3\x83\xbc\xe3\x82\xbf.dat", random_content(random, 5000)});
  tree.files.push_back({"docs/relat\xc3\xb3rios/2024/zeros.img", std::vector<uint8_t>(40960 * scale, 0)});
  tree.files.push_back({"docs/grande.bin", random_content(random, 300000 * scale + 123)});
  tree.files.push_back({"docs/grande.log", text_content(random, 200000 * scale + 7)});
  // The same chunk twice in one file and again in another: sent once.
  std::vector<uint8_t> repeated = random_content(random, 4096);
  std::vector<uint8_t> twice = repeated;
  twice.insert(twice.end(), repeated.begin(), repeated.end());
  tree.files.push_back({"a/repetido.bin", twice});
  tree.files.push_back({"a/b/copia.bin", repeated});
  tree.files.push_back({"a/vazio.txt", {}});
  return tree;
}

void write_sample_tree(const SampleTree& tree, const std::string& root) {
  make_directories(root);
  for (const auto& d : tree.directories) make_directories(root + "/" + d);
  for (const auto& f : tree.files) {
    FILE* out = fopen((root + "/" + f.relative_path).c_str(), "wb");
    if (out == nullptr) abort();
    if (!f.content.empty()) fwrite(f.content.data(), 1, f.content.size(), out);
    fclose(out);
  }
}

ChunkTotals chunk_totals(const SampleTree& tree) {
  ChunkTotals totals;
  std::set<std::vector<uint8_t>> seen;
  for (const auto& f : tree.files) {
    for (size_t at = 0; at < f.content.size(); at += 4096) {
      size_t length = std::min<size_t>(4096, f.content.size() - at);
      ++totals.chunks;
      if (seen.insert(std::vector<uint8_t>(f.content.begin() + at, f.content.begin() + at + length)).second) {
        ++totals.distinct_chunks;
        totals.distinct_chunk_bytes += length;
      }
    }
  }
  return totals;
}

std::string report_value(const std::string& report, const std::string& name) {
  std::string key = name + "=";
  for (size_t at = 0; at < report.size();) {
    size_t end = report.find('\n', at);
    if (end == std::string::npos) end = report.size();
    std::string line = report.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(key, 0) == 0) return line.substr(key.size());
    at = end + 1;
  }
  return "";
}

// A tree on disk loaded into the substitute volume as C:\src, for the native
// benchmarks: directories before their contents, names in order, near enough
// to the walk. Every entry gets one fixed last-write time; each file's size
// goes to `on_file`. A ".complete" mark at the top is left out.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "agent/platform/substitute/substitute_volume.h"

inline std::u16string substitute_tree_path(const std::filesystem::path& relative) {
  std::u16string path = u"C:\\src";
  for (const auto& part : relative) path += u"\\" + u16(part.string());
  return path;
}

inline void load_tree_into_substitute(const std::filesystem::path& root,
                                      const std::function<void(size_t)>& on_file) {
  namespace fs = std::filesystem;
  constexpr uint64_t kTreeTime = 133000000000000000ull;
  substitute_reset();
  substitute_add_directory(u"C:\\src").last_write_time = kTreeTime;
  std::vector<fs::path> paths;
  for (const auto& entry : fs::recursive_directory_iterator(root)) paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  for (const auto& path : paths) {
    fs::path relative = fs::relative(path, root);
    if (relative == ".complete") continue;
    if (fs::is_directory(path)) {
      substitute_add_directory(substitute_tree_path(relative)).last_write_time = kTreeTime;
      continue;
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    substitute_add_file(substitute_tree_path(relative), bytes).last_write_time = kTreeTime;
    on_file(bytes.size());
  }
}

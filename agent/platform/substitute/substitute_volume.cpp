#include "agent/platform/substitute/substitute_volume.h"

#include <algorithm>

SubstituteVolume substitute;

static char16_t fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

bool CaseInsensitiveLess::operator()(const std::u16string& a, const std::u16string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char16_t x, char16_t y) { return fold(x) < fold(y); });
}

uint32_t substitute_visible_attributes(const SubstituteEntry& entry, bool listing) {
  uint32_t attributes = entry.attributes;
  if (!listing) attributes &= ~WIN_FILE_ATTRIBUTE_RECALL_ON_OPEN;
  bool disguised = substitute.placeholder_mode == 1 ||
                   (substitute.placeholder_mode == 0 && substitute.disguises_placeholders_by_default);
  bool cloud_tag = entry.reparse_data.size() >= 4 &&
                   ((entry.reparse_data[0] | entry.reparse_data[1] << 8 | entry.reparse_data[2] << 16 |
                     static_cast<uint32_t>(entry.reparse_data[3]) << 24) &
                    0xFFFF0FFFu) == 0x9000001Au;
  if (disguised && cloud_tag && (attributes & WIN_FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    attributes &= ~(WIN_FILE_ATTRIBUTE_REPARSE_POINT | WIN_FILE_ATTRIBUTE_SPARSE_FILE | WIN_FILE_ATTRIBUTE_OFFLINE);
  }
  return attributes;
}

static std::u16string spelled_key(const std::u16string& path) {
  if (path.rfind(u"\\\\?\\UNC\\", 0) == 0) return u"\\\\" + path.substr(8);
  if (path.rfind(u"\\\\?\\", 0) == 0) return path.substr(4);
  return path;
}

std::u16string substitute_key(const std::u16string& path) {
  std::u16string key = spelled_key(path);
  // Links may lead to links; a cycle ends as the system's 1921 would, unresolved.
  for (int hop = 0; hop < 31; ++hop) {
    bool moved = false;
    for (const auto& [link, target] : substitute.links) {
      if (key.size() <= link.size() || key[link.size()] != u'\\') continue;
      if (CaseInsensitiveLess{}(key.substr(0, link.size()), link) || CaseInsensitiveLess{}(link, key.substr(0, link.size()))) {
        continue;
      }
      // "S:\\" names the target itself.
      key = key.size() == link.size() + 1 ? target : target + key.substr(link.size());
      moved = true;
      break;
    }
    if (!moved) break;
  }
  return key;
}

static std::u16string parent_of(const std::u16string& key) {
  size_t slash = key.find_last_of(u'\\');
  if (slash == std::u16string::npos) return u"";
  // "C:\a" -> "C:\" (a drive root keeps its backslash).
  if (slash == 2 && key.size() > 1 && key[1] == u':') return key.substr(0, 3);
  return key.substr(0, slash);
}

void substitute_reset() {
  substitute = SubstituteVolume{};
  substitute_add_directory(u"C:\\Temp");
  substitute_add_directory(substitute.current_directory);
}

SubstituteEntry& substitute_add_directory(const std::u16string& path) {
  std::u16string key = substitute_key(path);
  if (key.size() > 3 && key.back() == u'\\') key.pop_back();
  std::u16string parent = parent_of(key);
  if (!parent.empty() && parent != key && substitute_find(parent) == nullptr) substitute_add_directory(parent);
  SubstituteEntry& entry = substitute.entries[key];
  entry.attributes = WIN_FILE_ATTRIBUTE_DIRECTORY;
  if (entry.file_index == 0) entry.file_index = substitute.next_file_index++;
  return entry;
}

SubstituteEntry& substitute_add_file(const std::u16string& path, const std::vector<uint8_t>& content) {
  std::u16string key = substitute_key(path);
  std::u16string parent = parent_of(key);
  if (!parent.empty() && substitute_find(parent) == nullptr) substitute_add_directory(parent);
  SubstituteEntry& entry = substitute.entries[key];
  entry.attributes = WIN_FILE_ATTRIBUTE_ARCHIVE;
  entry.content = content;
  if (entry.file_index == 0) entry.file_index = substitute.next_file_index++;
  return entry;
}

SubstituteEntry* substitute_find(const std::u16string& path) {
  std::u16string key = substitute_key(path);
  if (key.size() > 3 && key.back() == u'\\') key.pop_back();
  auto it = substitute.entries.find(key);
  return it == substitute.entries.end() ? nullptr : &it->second;
}

const std::vector<uint8_t>* substitute_file_content(const std::u16string& path) {
  SubstituteEntry* entry = substitute_find(path);
  return entry == nullptr ? nullptr : &entry->content;
}

size_t substitute_count_temp_files(const std::u16string& name_prefix) {
  std::u16string prefix = substitute.temp_directory + name_prefix;
  size_t count = 0;
  for (const auto& [key, entry] : substitute.entries) {
    if (key.size() >= prefix.size() && !CaseInsensitiveLess{}(key.substr(0, prefix.size()), prefix) &&
        !CaseInsensitiveLess{}(prefix, key.substr(0, prefix.size()))) {
      ++count;
    }
  }
  return count;
}

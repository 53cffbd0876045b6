#include "agent/platform/substitute/substitute_volume.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <locale.h>
#include <wctype.h>

SubstituteVolume substitute;

// The upcase table, made once from the C library's simple uppercase mapping
// under C.UTF-8 (every result of a BMP unit is a BMP unit there). An NTFS
// volume carries its own table, written when it was formatted, from the same
// kind of mapping; a few units (dotless i, long s) may differ by Windows
// release, and only Windows can confirm those.
char16_t substitute_upcase(char16_t unit) {
  static const std::vector<char16_t> table = [] {
    std::vector<char16_t> t(0x10000);
    locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (utf8 == static_cast<locale_t>(nullptr)) {
      fputs("substitute volume: no C.UTF-8 locale for the upcase table\n", stderr);
      abort();
    }
    for (uint32_t c = 0; c < 0x10000; ++c) {
      wint_t upper = (c >= 0xD800 && c < 0xE000) ? c : towupper_l(static_cast<wint_t>(c), utf8);
      t[c] = static_cast<char16_t>(upper <= 0xFFFF ? upper : c);
    }
    freelocale(utf8);
    return t;
  }();
  return table[unit];
}

bool CaseInsensitiveLess::operator()(const std::u16string& a, const std::u16string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char16_t x, char16_t y) {
    return substitute_upcase(x) < substitute_upcase(y);
  });
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

static bool same_text(const std::u16string& a, const std::u16string& b) {
  return !CaseInsensitiveLess{}(a, b) && !CaseInsensitiveLess{}(b, a);
}

// "C:\" of a drive, "\\server\share" of a share, "GLOBALROOT\Device\Name" of a
// device; other keys (pipes, the token) are their own root.
size_t substitute_root_length(const std::u16string& key) {
  if (key.size() >= 2 && key[1] == u':') return std::min<size_t>(key.size(), 3);
  size_t from = std::u16string::npos;
  if (key.rfind(u"\\\\", 0) == 0) {
    from = key.find(u'\\', 2);  // after the server
  } else if (key.size() > 18 && same_text(key.substr(0, 18), u"GLOBALROOT\\Device\\")) {
    from = 17;
  }
  if (from == std::u16string::npos) return key.size();
  size_t end = key.find(u'\\', from + 1);
  return end == std::u16string::npos ? key.size() : end;
}

std::u16string substitute_parent_key(const std::u16string& key) {
  size_t root = substitute_root_length(key);
  if (key.size() <= root) return u"";
  size_t slash = key.find_last_of(u'\\');
  if (slash == std::u16string::npos || slash + 1 < root) return u"";
  // "C:\a" -> "C:\" (a drive root keeps its backslash).
  if (slash + 1 == root) return key.substr(0, root);
  return key.substr(0, slash);
}

std::u16string substitute_resolve(const std::u16string& path) {
  std::u16string key = substitute_key(path);
  if (key.size() > substitute_root_length(key) && key.size() > 3 && key.back() == u'\\') key.pop_back();
  return key;
}

static uint64_t next_object_id = 1;

uint64_t substitute_new_object_id() { return next_object_id++; }

void substitute_reset() {
  substitute = SubstituteVolume{};
  substitute_add_directory(u"C:\\Temp");
  substitute_add_directory(substitute.current_directory);
}

static SubstituteEntry& entry_at(const std::u16string& key) {
  SubstituteEntry& entry = substitute.entries[key];
  if (entry.file_index == 0) entry.file_index = substitute.next_file_index++;
  if (entry.object_id == 0) entry.object_id = next_object_id++;
  return entry;
}

SubstituteEntry& substitute_add_directory(const std::u16string& path) {
  std::u16string key = substitute_resolve(path);
  std::u16string parent = substitute_parent_key(key);
  if (!parent.empty() && parent != key && substitute_find(parent) == nullptr) substitute_add_directory(parent);
  SubstituteEntry& entry = entry_at(key);
  entry.attributes = WIN_FILE_ATTRIBUTE_DIRECTORY;
  return entry;
}

SubstituteEntry& substitute_add_file(const std::u16string& path, const std::vector<uint8_t>& content) {
  std::u16string key = substitute_resolve(path);
  std::u16string parent = substitute_parent_key(key);
  if (!parent.empty() && substitute_find(parent) == nullptr) substitute_add_directory(parent);
  SubstituteEntry& entry = entry_at(key);
  entry.attributes = WIN_FILE_ATTRIBUTE_ARCHIVE;
  entry.content = content;
  return entry;
}

SubstituteEntry* substitute_find(const std::u16string& path) {
  auto it = substitute.entries.find(substitute_resolve(path));
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

// The fault layer: a rule names an operation, a path (empty: any; compared as
// keys, so any accepted spelling) and which matching call it concerns (0: every
// one). Each rule counts its own matches.
static bool rule_applies(const std::string& rule_operation, const std::u16string& rule_path, uint32_t rule_call,
                         uint32_t& seen, const char* operation, const std::u16string& path) {
  if (rule_operation != operation) return false;
  if (!rule_path.empty() && !same_text(substitute_key(rule_path), substitute_key(path))) return false;
  ++seen;
  return rule_call == 0 || seen == rule_call;
}

static void run_hooks(const char* operation, const std::u16string& path) {
  // Hooks may add hooks; walk by index over the ones present now.
  size_t count = substitute.hooks.size();
  for (size_t i = 0; i < count; ++i) {
    SubstituteHook& hook = substitute.hooks[i];
    if (rule_applies(hook.operation, hook.path, hook.on_call, hook.seen, operation, path)) {
      std::function<void()> action = hook.action;  // the vector may grow inside
      action();
    }
  }
}

const SubstituteFault* substitute_fault(const char* operation, const std::u16string& path) {
  run_hooks(operation, path);
  const SubstituteFault* applied = nullptr;
  for (SubstituteFault& fault : substitute.faults) {
    if (rule_applies(fault.operation, fault.path, fault.call, fault.seen, operation, path) && applied == nullptr) {
      applied = &fault;
    }
  }
  if (applied != nullptr && applied->code != 0) substitute.last_error = applied->code;
  return applied;
}

const SubstituteFault* substitute_call(SubstituteCall call) {
  size_t index = substitute.calls.size();
  std::string operation = call.operation;
  std::u16string path = call.path;
  substitute.calls.push_back(std::move(call));
  const SubstituteFault* fault = substitute_fault(operation.c_str(), path);
  if (fault != nullptr) substitute.calls[index].result = fault->code;
  return fault;
}

void substitute_fail(uint32_t code) {
  substitute.last_error = code;
  if (!substitute.calls.empty()) substitute.calls.back().result = code;
}

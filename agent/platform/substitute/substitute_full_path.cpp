// GetFullPathNameW of the substitute volume: the text alone decides, as it does
// on Windows, where the call never looks at the file system. The rules follow
// the documented normalization ("File path formats on Windows systems").
#include <vector>

#include "agent/platform/substitute/substitute_volume.h"

namespace {

bool starts_with(const std::u16string& text, const char16_t* prefix) { return text.rfind(prefix, 0) == 0; }

char16_t upcase_ascii(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

// A path that is nothing but a DOS device name becomes that device on every
// Windows version. A device name with an extension or below a directory
// ("NUL.txt", "C:\d\NUL") is a device on some versions and a file on others,
// so it is left a plain name here.
bool is_bare_device_name(const std::u16string& text) {
  std::u16string name;
  for (char16_t c : text) name += upcase_ascii(c);
  if (name == u"CON" || name == u"PRN" || name == u"AUX" || name == u"NUL") return true;
  return name.size() == 4 && (starts_with(name, u"COM") || starts_with(name, u"LPT")) && name[3] >= u'1' &&
         name[3] <= u'9';
}

// Where ".." stops: the device prefix "\\?\" or "\\.\" (not the drive after
// it), "\\server\share" with the separator after it, "C:\".
size_t root_length(const std::u16string& path) {
  if (starts_with(path, u"\\\\?\\") || starts_with(path, u"\\\\.\\")) return 4;
  if (starts_with(path, u"\\\\")) {
    size_t at = path.find(u'\\', 2);  // after the server
    if (at == std::u16string::npos) return path.size();
    at = path.find(u'\\', at + 1);  // after the share
    return at == std::u16string::npos ? path.size() : at + 1;
  }
  return path.size() >= 3 && path[1] == u':' && path[2] == u'\\' ? 3 : 0;
}

// The path with a current directory applied where its form asks for one.
std::u16string qualified(const std::u16string& path) {
  const std::u16string& current = substitute.current_directory;
  auto below_current = [&](const std::u16string& rest) { return rest.empty() ? current : current + u"\\" + rest; };
  // Device paths, UNC paths and "C:\..." are full already.
  if (starts_with(path, u"\\\\") || (path.size() >= 3 && path[1] == u':' && path[2] == u'\\')) return path;
  // "\dir": the root of the current directory's drive or share.
  if (path[0] == u'\\') {
    size_t root = root_length(current);
    if (root > 0 && current[root - 1] == u'\\') --root;
    return current.substr(0, root) + path;
  }
  // "C:dir": the current directory when it is on that drive; another drive's
  // own current directory comes from an "=D:" variable, absent by default,
  // and without one the drive's root is used.
  if (path.size() >= 2 && path[1] == u':') {
    if (upcase_ascii(path[0]) == upcase_ascii(current[0]) && current.size() >= 2 && current[1] == u':') {
      return below_current(path.substr(2));
    }
    return path.substr(0, 2) + u"\\" + path.substr(2);
  }
  return below_current(path);
}

}  // namespace

std::u16string substitute_full_path(const std::u16string& path) {
  if (is_bare_device_name(path)) return u"\\\\.\\" + path;
  // Forward slashes are separators, in every form.
  std::u16string text = path;
  for (char16_t& c : text) {
    if (c == u'/') c = u'\\';
  }
  text = qualified(text);
  // A run of separators after the leading two is one separator.
  std::u16string collapsed = text.substr(0, 2);
  for (size_t i = 2; i < text.size(); ++i) {
    if (text[i] != u'\\' || collapsed.back() != u'\\') collapsed += text[i];
  }
  size_t root = root_length(collapsed);
  std::u16string result = collapsed.substr(0, root);
  std::u16string rest = collapsed.substr(root);
  bool ends_in_separator = !rest.empty() && rest.back() == u'\\';

  // "." goes, ".." takes the segment before it but never the root; a single
  // period ending a segment that has one after it goes.
  std::vector<std::u16string> kept;
  size_t from = 0;
  while (from < rest.size()) {
    size_t end = rest.find(u'\\', from);
    if (end == std::u16string::npos) end = rest.size();
    std::u16string segment = rest.substr(from, end - from);
    from = end + 1;
    if (segment.empty() || segment == u".") continue;
    if (segment == u"..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    bool followed = end < rest.size();
    if (followed && segment.back() == u'.' && (segment.size() < 2 || segment[segment.size() - 2] != u'.')) {
      segment.pop_back();
    }
    kept.push_back(segment);
  }
  for (size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) result += u'\\';
    result += kept[i];
  }
  if (ends_in_separator && !kept.empty()) result += u'\\';
  // Without a separator at the end, trailing periods and spaces go: a name can
  // keep them only when a separator follows.
  if (!ends_in_separator) {
    while (result.size() > root && (result.back() == u'.' || result.back() == u' ')) result.pop_back();
  }
  return result;
}

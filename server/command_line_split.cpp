#include "server/command_line_split.h"

std::vector<std::u16string> split_command_line(const std::u16string& line) {
  std::vector<std::u16string> elements;
  size_t i = 0;
  const size_t n = line.size();
  while (true) {
    while (i < n && (line[i] == u' ' || line[i] == u'\t')) ++i;
    if (i >= n) break;
    std::u16string element;
    bool quoted = false;
    while (i < n) {
      size_t backslashes = 0;
      while (i < n && line[i] == u'\\') ++backslashes, ++i;
      if (i < n && line[i] == u'"') {
        element.append(backslashes / 2, u'\\');
        if (backslashes % 2 == 1) {
          element.push_back(u'"');
        } else {
          quoted = !quoted;
        }
        ++i;
        continue;
      }
      element.append(backslashes, u'\\');
      if (i >= n) break;
      if (!quoted && (line[i] == u' ' || line[i] == u'\t')) break;
      element.push_back(line[i]);
      ++i;
    }
    elements.push_back(element);
  }
  return elements;
}

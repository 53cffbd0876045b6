#include "agent/run_control/text_conversion.h"

#include <cstdlib>
#include <cstring>

#include "agent/run_control/fatal_error.h"

size_t wide_length(const wchar16* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

bool wide_equals(const wchar16* a, const wchar16* b) {
  size_t i = 0;
  for (; a[i] != 0 && b[i] != 0; ++i) {
    if (a[i] != b[i]) return false;
  }
  return a[i] == b[i];
}

static wchar16 fold_ascii(wchar16 c) { return (c >= u'A' && c <= u'Z') ? static_cast<wchar16>(c + 32) : c; }

bool wide_equals_ignoring_ascii_case(const wchar16* a, const wchar16* b) {
  size_t i = 0;
  for (; a[i] != 0 && b[i] != 0; ++i) {
    if (fold_ascii(a[i]) != fold_ascii(b[i])) return false;
  }
  return a[i] == b[i];
}

bool wide_begins_ignoring_ascii_case(const wchar16* text, const wchar16* prefix, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == 0 || fold_ascii(text[i]) != fold_ascii(prefix[i])) return false;
  }
  return true;
}

wchar16* utf8_to_wide(const char* text) {
  int units = platform_utf8_to_utf16(text, nullptr, 0);
  if (units == 0) fatal_error("invalid UTF-8");
  auto* result = static_cast<wchar16*>(malloc(static_cast<size_t>(units) * sizeof(wchar16)));
  if (result == nullptr) fatal_error("out of memory");
  if (platform_utf8_to_utf16(text, result, units) == 0) fatal_error("UTF-8 conversion");
  return result;
}

char* wide_to_utf8(const wchar16* text) {
  int bytes = platform_utf16_to_utf8(text, nullptr, 0);
  if (bytes == 0) fatal_error("invalid Unicode name");
  auto* result = static_cast<char*>(malloc(static_cast<size_t>(bytes)));
  if (result == nullptr) fatal_error("out of memory");
  if (platform_utf16_to_utf8(text, result, bytes) == 0) fatal_error("Unicode conversion");
  return result;
}

wchar16* join_windows_path(const wchar16* directory, const wchar16* name) {
  size_t directory_length = wide_length(directory);
  size_t name_length = wide_length(name);
  // Room for a separator and the terminator is counted whether or not it is used.
  size_t total = directory_length + name_length + 2;
  if (total > WINDOWS_PATH_MAX_UNITS) fatal_error("Windows path too long");
  auto* result = static_cast<wchar16*>(malloc(total * sizeof(wchar16)));
  if (result == nullptr) fatal_error("out of memory");
  memcpy(result, directory, directory_length * sizeof(wchar16));
  size_t at = directory_length;
  if (directory_length > 0 && directory[directory_length - 1] != u'\\') result[at++] = u'\\';
  memcpy(result + at, name, name_length * sizeof(wchar16));
  result[at + name_length] = 0;
  return result;
}

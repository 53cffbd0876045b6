// Strict UTF-8 <-> UTF-16, as MultiByteToWideChar and WideCharToMultiByte do
// with their "invalid characters are errors" flags.
#include "agent/platform/platform.h"
#include "agent/platform/substitute/substitute_volume.h"

// Answers as the conversion functions do: the units needed (terminator
// included) when capacity is 0, 0 when the room is too small, else the units written.
template <typename Text, typename Unit>
static int deliver(const Text& result, Unit* out, int capacity) {
  int needed = static_cast<int>(result.size()) + 1;
  if (capacity == 0) return needed;
  if (capacity < needed) {
    substitute.last_error = WIN_ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::copy(result.begin(), result.end(), out);
  out[result.size()] = 0;
  return needed;
}

// Decodes one scalar value; returns false for invalid bytes, overlong forms,
// encoded surrogates and values above U+10FFFF.
static bool decode_utf8(const unsigned char*& p, uint32_t& out) {
  unsigned char c = *p;
  if (c < 0x80) {
    out = c;
    ++p;
    return true;
  }
  int extra;
  uint32_t min;
  if ((c & 0xE0) == 0xC0) {
    extra = 1, min = 0x80, out = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    extra = 2, min = 0x800, out = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    extra = 3, min = 0x10000, out = c & 0x07;
  } else {
    return false;
  }
  for (int i = 1; i <= extra; ++i) {
    if ((p[i] & 0xC0) != 0x80) return false;
    out = (out << 6) | (p[i] & 0x3F);
  }
  if (out < min || out > 0x10FFFF || (out >= 0xD800 && out <= 0xDFFF)) return false;
  p += extra + 1;
  return true;
}

int platform_utf8_to_utf16(const char* text, wchar16* out, int capacity) {
  std::u16string result;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    uint32_t cp;
    if (!decode_utf8(p, cp)) {
      substitute.last_error = WIN_ERROR_NO_UNICODE_TRANSLATION;
      return 0;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      result.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      result.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      result.push_back(static_cast<char16_t>(cp));
    }
  }
  return deliver(result, out, capacity);
}

int platform_utf16_to_utf8(const wchar16* text, char* out, int capacity) {
  std::string result;
  for (size_t i = 0; text[i] != 0; ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      substitute.last_error = WIN_ERROR_NO_UNICODE_TRANSLATION;
      return 0;
    }
    if (cp < 0x80) {
      result.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      result.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      result.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      result.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      result.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      result.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      result.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return deliver(result, out, capacity);
}

std::u16string u16(const std::string& utf8) {
  std::u16string out(utf8.size() + 1, u'\0');
  int n = platform_utf8_to_utf16(utf8.c_str(), out.data(), static_cast<int>(out.size()));
  out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
  return out;
}

std::string u8(const std::u16string& utf16) {
  std::string out(utf16.size() * 3 + 1, '\0');
  int n = platform_utf16_to_utf8(utf16.c_str(), out.data(), static_cast<int>(out.size()));
  out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
  return out;
}

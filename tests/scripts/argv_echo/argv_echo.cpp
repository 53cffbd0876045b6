// Shows how Windows splits a command line, for the script tests: the runner's
// quoting is only right if CommandLineToArgvW gives every element back.
//
//   argv_echo.exe --lines HEX...   each HEX is the UTF-8 of one argument line;
//                                  for each, this program starts itself with the
//                                  command line "<own path>" LINE and waits.
//   argv_echo.exe ...              (as started above) prints the number of
//                                  elements after the program name, then each
//                                  element as the hex of its UTF-8, one a line.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void write_stdout(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string to_hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

bool from_hex(const wchar_t* hex, std::string& bytes) {
  size_t length = wcslen(hex);
  if (length % 2 != 0) return false;
  for (size_t i = 0; i < length; i += 2) {
    int value = 0;
    for (size_t j = i; j < i + 2; ++j) {
      wchar_t c = hex[j];
      int digit = (c >= L'0' && c <= L'9') ? c - L'0' : (c >= L'a' && c <= L'f') ? c - L'a' + 10 : -1;
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    bytes += static_cast<char>(value);
  }
  return true;
}

std::string utf8_of(const wchar_t* text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), size, nullptr, nullptr);
  bytes.resize(static_cast<size_t>(size - 1));
  return bytes;
}

bool wide_of(const std::string& bytes, std::wstring& text) {
  text.clear();
  if (bytes.empty()) return true;
  int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (size <= 0) return false;
  text.resize(static_cast<size_t>(size));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
  return true;
}

int print_own_elements() {
  int count = 0;
  wchar_t** elements = CommandLineToArgvW(GetCommandLineW(), &count);
  if (elements == nullptr) return 1;
  std::string out = std::to_string(count - 1) + "\n";
  for (int i = 1; i < count; ++i) out += to_hex(utf8_of(elements[i])) + "\n";
  LocalFree(elements);
  write_stdout(out);
  return 0;
}

int run_line(const std::wstring& self, const std::wstring& line) {
  std::wstring command = L"\"" + self + L"\" " + line;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  SetHandleInformation(out, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process;
  if (!CreateProcessW(self.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    std::fprintf(stderr, "argv_echo: cannot start itself (error %lu)\n", GetLastError());
    return 1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || std::wcscmp(argv[1], L"--lines") != 0) return print_own_elements();
  wchar_t self[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 1;
  for (int i = 2; i < argc; ++i) {
    std::string bytes;
    std::wstring line;
    if (!from_hex(argv[i], bytes) || !wide_of(bytes, line)) {
      std::fprintf(stderr, "argv_echo: element %d is not the hex of UTF-8 text\n", i);
      return 1;
    }
    if (run_line(self, line) != 0) return 1;
  }
  return 0;
}

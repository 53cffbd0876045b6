// Stands in for ssh.exe in the adapter tests: records how it was started, then
// plays the server's side of an upload without chunks (hello, final message,
// manifest, confirmation) on its standard input and output. Environment:
//   VK_PROBE_LOG         file that receives "pid=", "command_line=" and one
//                        "argument=" line per element, as the runtime split them
//   VK_PROBE_HELLO       the 8 bytes to answer the hello with
//   VK_PROBE_LINGER_MS   how long to stay after the input has ended
//   VK_PROBE_EXIT_CODE   the exit code after that
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string utf8(const wchar_t* text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

std::string variable(const char* name, const char* fallback) {
  const char* value = getenv(name);
  return value != nullptr ? value : fallback;
}

bool read_exactly(HANDLE in, void* buffer, DWORD count) {
  auto* p = static_cast<char*>(buffer);
  while (count > 0) {
    DWORD got = 0;
    if (!ReadFile(in, p, count, &got, nullptr) || got == 0) return false;
    p += got;
    count -= got;
  }
  return true;
}

bool write_exactly(HANDLE out, const void* data, DWORD count) {
  DWORD written = 0;
  return WriteFile(out, data, count, &written, nullptr) && written == count;
}

[[noreturn]] void finish(int code) {
  Sleep(static_cast<DWORD>(atol(variable("VK_PROBE_LINGER_MS", "0").c_str())));
  ExitProcess(static_cast<UINT>(code));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::string log = "pid=" + std::to_string(GetCurrentProcessId()) + "\ncommand_line=" + utf8(GetCommandLineW()) + "\n";
  for (int i = 0; i < argc; ++i) log += "argument=" + utf8(argv[i]) + "\n";
  std::string log_path = variable("VK_PROBE_LOG", "");
  if (!log_path.empty()) {
    FILE* f = fopen(log_path.c_str(), "wb");
    if (f != nullptr) {
      fwrite(log.data(), 1, log.size(), f);
      fclose(f);
    }
  }

  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  char hello[9];
  if (!read_exactly(in, hello, 9)) finish(9);
  std::string answer = variable("VK_PROBE_HELLO", "VARDOR07");
  if (!write_exactly(out, answer.data(), 8)) finish(9);

  unsigned char final_message[9];
  if (!read_exactly(in, final_message, 9) || final_message[0] != 0x02) finish(9);
  unsigned long long length = 0;
  for (int i = 8; i >= 1; --i) length = (length << 8) | final_message[i];
  static char buffer[65536];
  while (length > 0) {
    DWORD piece = length < sizeof buffer ? static_cast<DWORD>(length) : sizeof buffer;
    if (!read_exactly(in, buffer, piece)) finish(9);
    length -= piece;
  }
  char confirmation[129] = "probe-snapshot";
  if (!write_exactly(out, confirmation, sizeof confirmation)) finish(9);

  // The agent closes its side after the confirmation.
  DWORD got = 0;
  while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0) {
  }
  finish(atoi(variable("VK_PROBE_EXIT_CODE", "0").c_str()));
  return 0;
}

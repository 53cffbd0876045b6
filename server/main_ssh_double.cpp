// ssh.exe test double: placed at System32\OpenSSH\ssh.exe in a Wine prefix,
// it checks that the agent started it with exactly the expected argument
// vector, records that vector, and then serves `receive` on its own standard
// input and output. Environment (see server/README.md):
//   VARDOKEEP_DOUBLE_STORE          store directory (required)
//   VARDOKEEP_DOUBLE_EXPECT_CONFIG  the -F value the agent must pass
//   VARDOKEEP_DOUBLE_EXPECT_ALIAS   the host alias the agent must pass
//   VARDOKEEP_DOUBLE_ARGV_LOG       file that receives the command line
//   VARDOKEEP_FAULT_*               faults of `receive`
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/command_line_split.h"
#include "server/receive.h"
#include "server/store_io.h"

namespace {

constexpr int kSshFailure = 255;  // what ssh itself exits with on its own errors

std::string to_utf8(const std::u16string& text) {
  if (text.empty()) return std::string();
  const wchar_t* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

bool equal_ignoring_ascii_case(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

void record(const std::string& line, const std::vector<std::string>& elements) {
  const char* log = std::getenv("VARDOKEEP_DOUBLE_ARGV_LOG");
  if (log == nullptr || *log == '\0') return;
  FILE* file = std::fopen(log, "wb");
  if (file == nullptr) return;
  std::fprintf(file, "command_line=%s\n", line.c_str());
  for (const std::string& element : elements) std::fprintf(file, "argument=%s\n", element.c_str());
  std::fclose(file);
}

int refuse(const std::string& text) {
  server_message(text);
  return kSshFailure;
}

}  // namespace

int main() {
  g_server_program_name = "ssh-double";
  io_prepare_stdio();
  const std::u16string line(reinterpret_cast<const char16_t*>(GetCommandLineW()));
  std::vector<std::string> elements;
  for (const std::u16string& element : split_command_line(line)) elements.push_back(to_utf8(element));
  record(to_utf8(line), elements);

  wchar_t module[32768];
  const DWORD module_length = GetModuleFileNameW(nullptr, module, 32768);
  const std::string own_path =
      to_utf8(std::u16string(reinterpret_cast<const char16_t*>(module), module_length < 32768 ? module_length : 0));
  const char* config = std::getenv("VARDOKEEP_DOUBLE_EXPECT_CONFIG");
  const char* alias = std::getenv("VARDOKEEP_DOUBLE_EXPECT_ALIAS");
  const std::vector<std::string> fixed = {"-T", "-oBatchMode=yes", "-oStrictHostKeyChecking=yes",
                                          "-oIdentitiesOnly=yes", "-oConnectTimeout=15",
                                          "-oServerAliveInterval=30", "-oServerAliveCountMax=3"};
  if (elements.size() != 12) return refuse("expected 12 command-line elements, got " + std::to_string(elements.size()));
  if (!equal_ignoring_ascii_case(elements[0], own_path))
    return refuse("element 0 is \"" + elements[0] + "\", not this program's path \"" + own_path + "\"");
  if (elements[1] != "-F") return refuse("element 1 is \"" + elements[1] + "\", not \"-F\"");
  if (config != nullptr && elements[2] != config)
    return refuse("element 2 is \"" + elements[2] + "\", not the configuration \"" + config + "\"");
  for (size_t k = 0; k < fixed.size(); ++k) {
    if (elements[3 + k] != fixed[k])
      return refuse("element " + std::to_string(3 + k) + " is \"" + elements[3 + k] + "\", not \"" + fixed[k] + "\"");
  }
  if (alias != nullptr && elements[10] != alias)
    return refuse("element 10 is \"" + elements[10] + "\", not the alias \"" + alias + "\"");
  if (elements[11] != "receive") return refuse("element 11 is \"" + elements[11] + "\", not \"receive\"");

  const char* store = std::getenv("VARDOKEEP_DOUBLE_STORE");
  if (store == nullptr || *store == '\0') return refuse("VARDOKEEP_DOUBLE_STORE is not set");
  ReceiveFaults faults;
  std::string error;
  if (!read_receive_faults_from_environment(&faults, &error)) return refuse(error);
  return run_receive(store, 0, 1, faults);
}

// vardokeep-join: runs an agent command with --stdio against
// `vardokeep-refserver.exe receive --store DIR` through two pipes, the
// agent's output into the server's input and back, so that a Windows machine
// backs up into a local store without ssh. PowerShell cannot carry a binary
// stream between two programs, hence this program.
//
//   vardokeep-join --store DIR [--server PATH] -- AGENT_PATH ARGUMENT...
//
// Both programs write their standard error to the joiner's. The exit code is
// the agent's when it failed, otherwise the server's; 2 on a usage error and
// 1 when a program cannot be started.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "server/command_line_split.h"

namespace {

int usage(const char* problem) {
  std::fprintf(stderr,
               "vardokeep-join: %s\n"
               "usage: vardokeep-join --store DIR [--server PATH] -- AGENT_PATH ARGUMENT...\n",
               problem);
  return 2;
}

// One element, quoted so that the runtime's rules give it back unchanged:
// backslashes double only before a quote, and every quote is escaped.
std::u16string quoted(const std::u16string& element) {
  std::u16string out = u"\"";
  size_t backslashes = 0;
  for (char16_t c : element) {
    if (c == u'\\') {
      backslashes += 1;
      continue;
    }
    out.append(c == u'"' ? backslashes * 2 + 1 : backslashes, u'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, u'\\');
  out.push_back(u'"');
  return out;
}

std::u16string command_line(const std::vector<std::u16string>& elements) {
  std::u16string line;
  for (const std::u16string& element : elements) {
    if (!line.empty()) line.push_back(u' ');
    line.append(quoted(element));
  }
  return line;
}

HANDLE inheritable(HANDLE handle) {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS);
  return copy;
}

// Starts the command with the given standard input and output (inheritable
// handles, closed here once the child holds them) and the joiner's error.
HANDLE start(const std::vector<std::u16string>& elements, HANDLE input, HANDLE output) {
  HANDLE error = inheritable(GetStdHandle(STD_ERROR_HANDLE));
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = error;
  PROCESS_INFORMATION process = {};
  std::u16string line = command_line(elements);
  const BOOL started = CreateProcessW(nullptr, reinterpret_cast<wchar_t*>(line.data()), nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &process);
  CloseHandle(input);
  CloseHandle(output);
  if (error != nullptr) CloseHandle(error);
  if (!started) {
    std::fprintf(stderr, "vardokeep-join: cannot start the program (Windows error %lu)\n", GetLastError());
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

DWORD wait_for(HANDLE process) {
  DWORD code = 1;
  WaitForSingleObject(process, INFINITE);
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code;
}

}  // namespace

int main() {
  const std::vector<std::u16string> elements =
      split_command_line(reinterpret_cast<const char16_t*>(GetCommandLineW()));
  std::u16string store, server;
  size_t at = 1;
  for (; at < elements.size() && elements[at] != u"--"; ++at) {
    if (at + 1 >= elements.size() || (elements[at] != u"--store" && elements[at] != u"--server"))
      return usage("unknown option before --");
    (elements[at] == u"--store" ? store : server) = elements[at + 1];
    at += 1;
  }
  if (store.empty()) return usage("--store is required");
  if (at + 1 >= elements.size()) return usage("no agent command after --");
  if (server.empty()) {
    // The server beside this program.
    std::vector<wchar_t> module(32768);
    const DWORD length = GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size()));
    if (length == 0 || length >= module.size()) return usage("cannot find this program's folder");
    server.assign(reinterpret_cast<const char16_t*>(module.data()), length);
    server = server.substr(0, server.find_last_of(u"\\/") + 1) + u"vardokeep-refserver.exe";
  }

  SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
  HANDLE to_server_read, to_server_write, to_agent_read, to_agent_write;
  if (!CreatePipe(&to_server_read, &to_server_write, &attributes, 0) ||
      !CreatePipe(&to_agent_read, &to_agent_write, &attributes, 0)) {
    std::fprintf(stderr, "vardokeep-join: cannot create the pipes (Windows error %lu)\n", GetLastError());
    return 1;
  }
  // Each child gets inheritable copies of its own two ends only, so that no
  // stray copy keeps a pipe open after its writer has ended.
  HANDLE server_process = start({server, u"receive", u"--store", store}, inheritable(to_server_read),
                                inheritable(to_agent_write));
  CloseHandle(to_server_read);
  CloseHandle(to_agent_write);
  if (server_process == nullptr) return 1;
  const std::vector<std::u16string> agent(elements.begin() + static_cast<long>(at) + 1, elements.end());
  HANDLE agent_process = start(agent, inheritable(to_agent_read), inheritable(to_server_write));
  CloseHandle(to_agent_read);
  CloseHandle(to_server_write);
  if (agent_process == nullptr) {
    wait_for(server_process);
    return 1;
  }
  const DWORD agent_code = wait_for(agent_process);
  const DWORD server_code = wait_for(server_process);
  if (agent_code == 0 && server_code != 0)
    std::fprintf(stderr, "vardokeep-join: the server exited with %lu\n", server_code);
  return static_cast<int>(agent_code != 0 ? agent_code : server_code);
}

// The ssh.exe child through the real Win32 adapter under Wine: the system
// directory is rewired to a test folder whose OpenSSH\ssh.exe is a probe that
// records its command line and plays the server. The other table entries are
// wrapped to check the arguments of each call and to inject failures.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "agent/platform/win32/win32_api.h"
#include "agent/run_control/agent_main.h"

namespace {

std::wstring test_folder() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + L"vk-transport-adapter";
}

std::wstring system_folder() { return test_folder() + L"\\system32"; }
std::wstring probe_path() { return system_folder() + L"\\OpenSSH\\ssh.exe"; }
std::wstring probe_log() { return test_folder() + L"\\probe.log"; }

std::string narrow(const std::wstring& text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
  return out;
}

UINT WINAPI test_system_directory(LPWSTR buffer, UINT capacity) {
  std::wstring folder = system_folder();
  if (folder.size() + 1 > capacity) return static_cast<UINT>(folder.size() + 1);
  wcscpy(buffer, folder.c_str());
  return static_cast<UINT>(folder.size());
}

// The agent's private manifests go to the test's own folder, where leftovers
// are this test's alone (other tests run agents in the prefix's TEMP meanwhile).
DWORD WINAPI test_temp_path(DWORD capacity, LPWSTR buffer) {
  std::wstring folder = test_folder() + L"\\temp\\";
  if (folder.size() + 1 > capacity) return static_cast<DWORD>(folder.size() + 1);
  wcscpy(buffer, folder.c_str());
  return static_cast<DWORD>(folder.size());
}

bool manifest_left_behind() {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW((test_folder() + L"\\temp\\vardo-agent-*.tmp").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

UINT WINAPI empty_system_directory(LPWSTR buffer, UINT capacity) {
  std::wstring folder = test_folder() + L"\\empty-system32";
  CreateDirectoryW(folder.c_str(), nullptr);
  wcsncpy(buffer, folder.c_str(), capacity);
  return static_cast<UINT>(folder.size());
}

struct Observed {
  DWORD pipe_sizes[2] = {};
  BOOL pipe_inheritable[2] = {};
  int pipes = 0;
  DWORD_PTR attribute = 0;
  SIZE_T attribute_size = 0;
  JOBOBJECTINFOCLASS job_class = {};
  DWORD job_limit_flags = 0;
  DWORD creation_flags = 0;
  BOOL inherit_handles = FALSE;
  bool environment_null = false, directory_null = false;
  DWORD startup_size = 0, startup_flags = 0;
  bool attribute_list_set = false;
  bool manifest_present = false;
  std::wstring application;
};
Observed observed;

BOOL WINAPI observed_create_pipe(PHANDLE r, PHANDLE w, LPSECURITY_ATTRIBUTES attributes, DWORD size) {
  if (observed.pipes < 2) {
    observed.pipe_sizes[observed.pipes] = size;
    observed.pipe_inheritable[observed.pipes] =
        attributes != nullptr && attributes->bInheritHandle && attributes->lpSecurityDescriptor == nullptr;
  }
  ++observed.pipes;
  return CreatePipe(r, w, attributes, size);
}

BOOL WINAPI observed_update_attribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute,
                                      PVOID value, SIZE_T size, PVOID previous, PSIZE_T returned) {
  observed.attribute = attribute;
  observed.attribute_size = size;
  return UpdateProcThreadAttribute(list, flags, attribute, value, size, previous, returned);
}

BOOL WINAPI observed_job_limits(HANDLE job, JOBOBJECTINFOCLASS info_class, LPVOID info, DWORD length) {
  observed.job_class = info_class;
  observed.job_limit_flags = static_cast<JOBOBJECT_EXTENDED_LIMIT_INFORMATION*>(info)->BasicLimitInformation.LimitFlags;
  return SetInformationJobObject(job, info_class, info, length);
}

BOOL WINAPI observed_create_process(LPCWSTR application, LPWSTR command_line, LPSECURITY_ATTRIBUTES process_security,
                                    LPSECURITY_ATTRIBUTES thread_security, BOOL inherit, DWORD flags,
                                    LPVOID environment, LPCWSTR directory, LPSTARTUPINFOW startup,
                                    LPPROCESS_INFORMATION info) {
  observed.application = application;
  observed.manifest_present = manifest_left_behind();
  observed.creation_flags = flags;
  observed.inherit_handles = inherit;
  observed.environment_null = environment == nullptr;
  observed.directory_null = directory == nullptr;
  observed.startup_size = startup->cb;
  observed.startup_flags = startup->dwFlags;
  observed.attribute_list_set = reinterpret_cast<STARTUPINFOEXW*>(startup)->lpAttributeList != nullptr;
  return CreateProcessW(application, command_line, process_security, thread_security, inherit, flags, environment,
                        directory, startup, info);
}

BOOL WINAPI refused_assignment(HANDLE, HANDLE) {
  SetLastError(1234);
  return FALSE;
}

// Reports how the suspended child ended, before the fatal line.
BOOL WINAPI reporting_terminate(HANDLE process, UINT code) {
  BOOL ok = TerminateProcess(process, code);
  DWORD exit_code = 0;
  WaitForSingleObject(process, 10000);
  GetExitCodeProcess(process, &exit_code);
  fprintf(stderr, "[terminated exit=%lu]", exit_code);
  return ok;
}

BOOL WINAPI failing_create_process(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                                   LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  return FALSE;
}

// The manifest's descriptor comes first and is left alone.
int descriptors_made = 0;
intptr_t failing_pipe_descriptor(intptr_t handle, int flags) {
  if (descriptors_made++ == 0) return _open_osfhandle(handle, flags);
  return -1;
}

class SshTransportAdapter : public testing::Test {
 protected:
  void SetUp() override {
    CreateDirectoryW(test_folder().c_str(), nullptr);
    CreateDirectoryW(system_folder().c_str(), nullptr);
    CreateDirectoryW((system_folder() + L"\\OpenSSH").c_str(), nullptr);
    CreateDirectoryW((test_folder() + L"\\source").c_str(), nullptr);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring probe = self;
    probe = probe.substr(0, probe.find_last_of(L'\\') + 1) + L"transport_probe_child.exe";
    CopyFileW(probe.c_str(), probe_path().c_str(), FALSE);
    DeleteFileW(probe_log().c_str());
    SetEnvironmentVariableW(L"VK_PROBE_LOG", probe_log().c_str());
    SetEnvironmentVariableW(L"VK_PROBE_HELLO", nullptr);
    SetEnvironmentVariableW(L"VK_PROBE_LINGER_MS", nullptr);
    SetEnvironmentVariableW(L"VK_PROBE_EXIT_CODE", nullptr);
    CreateDirectoryW((test_folder() + L"\\temp").c_str(), nullptr);
    win32_api.GetSystemDirectoryW = test_system_directory;
    win32_api.GetTempPathW = test_temp_path;
    observed = {};
  }
  void TearDown() override { win32_api_restore(); }

  static int run_backup(const std::wstring& config, const std::wstring& alias) {
    std::wstring args[] = {L"vardokeep-agent.exe", L"backup",        L"--source",   test_folder() + L"\\source",
                           L"--ssh-config",        config,           L"--destination", alias};
    wchar16* argv[9] = {};
    for (int i = 0; i < 8; ++i) argv[i] = reinterpret_cast<wchar16*>(args[i].data());
    return agent_main(8, argv);
  }

  static std::vector<std::string> log_lines() {
    std::ifstream in(narrow(probe_log()), std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }

  // No process runs from the probe's path any more, within the time allowed
  // (the job's end is asynchronous). Other tests' ssh.exe live elsewhere.
  static bool probe_gone(DWORD milliseconds) {
    for (DWORD waited = 0;; waited += 100) {
      if (!probe_running()) return true;
      if (waited >= milliseconds) return false;
      Sleep(100);
    }
  }

  static bool probe_running() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return true;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    bool running = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !running; more = Process32NextW(snapshot, &entry)) {
      if (_wcsicmp(entry.szExeFile, L"ssh.exe") != 0) continue;
      HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
      if (process == nullptr) continue;
      wchar_t image[MAX_PATH];
      DWORD size = MAX_PATH;
      if (QueryFullProcessImageNameW(process, 0, image, &size) && _wcsicmp(image, probe_path().c_str()) == 0) {
        DWORD code = 0;
        running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
      }
      CloseHandle(process);
    }
    CloseHandle(snapshot);
    return running;
  }
};

TEST_F(SshTransportAdapter, StartsTheClientWithItsExactArgumentVectorAndSupervision) {
  win32_api.CreatePipe = observed_create_pipe;
  win32_api.UpdateProcThreadAttribute = observed_update_attribute;
  win32_api.SetInformationJobObject = observed_job_limits;
  win32_api.CreateProcessW = observed_create_process;
  const std::wstring config = L"C:\\cfg dir\\a \"b\"\\";
  ASSERT_EQ(0, run_backup(config, L"vardo-backup"));

  const std::string ssh = narrow(probe_path());
  const std::vector<std::string> expected = {
      "command_line=\"" + ssh + "\" \"-F\" \"C:\\cfg dir\\a \\\"b\\\"\\\\\" \"-T\" \"-oBatchMode=yes\""
      " \"-oStrictHostKeyChecking=yes\" \"-oIdentitiesOnly=yes\" \"-oConnectTimeout=15\""
      " \"-oServerAliveInterval=30\" \"-oServerAliveCountMax=3\" \"vardo-backup\" \"receive\"",
      "argument=" + ssh,
      "argument=-F",
      "argument=C:\\cfg dir\\a \"b\"\\",
      "argument=-T",
      "argument=-oBatchMode=yes",
      "argument=-oStrictHostKeyChecking=yes",
      "argument=-oIdentitiesOnly=yes",
      "argument=-oConnectTimeout=15",
      "argument=-oServerAliveInterval=30",
      "argument=-oServerAliveCountMax=3",
      "argument=vardo-backup",
      "argument=receive",
  };
  std::vector<std::string> lines = log_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), expected);

  EXPECT_EQ(observed.pipes, 2);
  EXPECT_EQ(observed.pipe_sizes[0], 65536u);
  EXPECT_EQ(observed.pipe_sizes[1], 65536u);
  EXPECT_TRUE(observed.pipe_inheritable[0] && observed.pipe_inheritable[1]);
  EXPECT_EQ(observed.attribute, static_cast<DWORD_PTR>(PROC_THREAD_ATTRIBUTE_HANDLE_LIST));
  EXPECT_EQ(observed.attribute_size, 24u);
  EXPECT_EQ(observed.job_class, JobObjectExtendedLimitInformation);
  EXPECT_EQ(observed.job_limit_flags, static_cast<DWORD>(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE));
  EXPECT_EQ(observed.application, probe_path());
  EXPECT_EQ(observed.creation_flags, 0x08080004u);
  EXPECT_TRUE(observed.inherit_handles);
  EXPECT_TRUE(observed.environment_null && observed.directory_null);
  EXPECT_EQ(observed.startup_size, sizeof(STARTUPINFOEXW));
  EXPECT_EQ(observed.startup_flags, static_cast<DWORD>(STARTF_USESTDHANDLES));
  EXPECT_TRUE(observed.attribute_list_set);
  EXPECT_TRUE(observed.manifest_present) << "the run's manifest lives in the test's own TEMP";
  // The run returned only after the wait, so the probe has ended.
  EXPECT_TRUE(probe_gone(0));
  EXPECT_FALSE(manifest_left_behind());
}

TEST_F(SshTransportAdapter, AbsentClientIsNamed) {
  win32_api.GetSystemDirectoryW = empty_system_directory;
  EXPECT_EXIT(run_backup(L"C:\\cfg\\ssh.conf", L"vardo-backup"), testing::ExitedWithCode(1),
              "^vardokeep-agent: install Microsoft OpenSSH Client first \\(Windows error=\\d\\)\r?\n$");
}

TEST_F(SshTransportAdapter, ClientThatExitsWithAnErrorFailsTheRunWithoutSnapshotLine) {
  SetEnvironmentVariableW(L"VK_PROBE_EXIT_CODE", L"3");
  EXPECT_EXIT(run_backup(L"C:\\cfg\\ssh.conf", L"vardo-backup"), testing::ExitedWithCode(1),
              "^vardokeep-agent: SSH failed after server confirmation \\(Windows error=\\d+\\)\r?\n$");
  EXPECT_FALSE(manifest_left_behind());
}

TEST_F(SshTransportAdapter, ClientThatOutlivesTheWaitIsEndedWithTheJob) {
  SetEnvironmentVariableW(L"VK_PROBE_LINGER_MS", L"120000");
  EXPECT_EXIT(run_backup(L"C:\\cfg\\ssh.conf", L"vardo-backup"), testing::ExitedWithCode(1),
              "^vardokeep-agent: SSH failed after server confirmation \\(Windows error=\\d+\\)\r?\n$");
  EXPECT_TRUE(probe_gone(5000));
  EXPECT_FALSE(manifest_left_behind());
}

TEST_F(SshTransportAdapter, FailureWhileTheClientRunsLeavesNoClientBehind) {
  SetEnvironmentVariableW(L"VK_PROBE_HELLO", L"VARDOR06");
  SetEnvironmentVariableW(L"VK_PROBE_LINGER_MS", L"120000");
  EXPECT_EXIT(run_backup(L"C:\\cfg\\ssh.conf", L"vardo-backup"), testing::ExitedWithCode(1),
              "^vardokeep-agent: server requires vardokeep 0.36.0 or later \\(Windows error=\\d+\\)\r?\n$");
  EXPECT_TRUE(probe_gone(5000));

  DeleteFileW(probe_log().c_str());
  EXPECT_EXIT(
      {
        win32_api.open_osfhandle = failing_pipe_descriptor;
        run_backup(L"C:\\cfg\\ssh.conf", L"vardo-backup");
      },
      testing::ExitedWithCode(1), "vardokeep-agent: SSH descriptors \\(Windows error=\\d+\\)");
  EXPECT_TRUE(probe_gone(5000));
  EXPECT_FALSE(manifest_left_behind());
}

TEST_F(SshTransportAdapter, RefusedAssignmentEndsTheSuspendedChildWith125) {
  EXPECT_EXIT(
      {
        win32_api.AssignProcessToJobObject = refused_assignment;
        win32_api.TerminateProcess = reporting_terminate;
        run_backup(L"C:\\cfg\\ssh.conf", L"vardo-backup");
      },
      testing::ExitedWithCode(1),
      "^\\[terminated exit=125\\]vardokeep-agent: assign SSH supervision \\(Windows error=1234\\)\r?\n$");
  // Suspended from its start, the probe never wrote its log.
  EXPECT_TRUE(log_lines().empty());
  EXPECT_FALSE(manifest_left_behind());
}

TEST_F(SshTransportAdapter, ClientThatCannotStartIsNamed) {
  EXPECT_EXIT(
      {
        win32_api.CreateProcessW = failing_create_process;
        run_backup(L"C:\\cfg\\ssh.conf", L"vardo-backup");
      },
      testing::ExitedWithCode(1), "^vardokeep-agent: start Microsoft OpenSSH \\(Windows error=2\\)\r?\n$");
}

}  // namespace

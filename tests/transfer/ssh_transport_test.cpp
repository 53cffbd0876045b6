// Opening and closing the server channel over the scripted ssh.exe child of the
// substitute: the alias rules, the order of the Win32 steps, which handles the
// child inherits, the failure of every step, and the end of the child.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/platform/substitute/substitute_volume.h"
#include "agent/run_control/process_resources.h"
#include "agent/transfer/server_channel.h"

namespace {

const std::u16string SSH_PATH = u"C:\\Windows\\system32\\OpenSSH\\ssh.exe";

class SshTransport : public testing::Test {
 protected:
  void SetUp() override {
    substitute_reset();
    substitute_add_file(SSH_PATH, {});
    substitute.calls.clear();
    server_channel = ServerChannel{};
    ssh_job = nullptr;
    ssh_process = nullptr;
  }

  // What the agent leaves to process exit is released here, so that the leak
  // check sees only real leaks.
  void TearDown() override {
    if (server_channel.out >= 1000) platform_close(server_channel.out);
    if (server_channel.in >= 1000) platform_close(server_channel.in);
    if (ssh_process != nullptr) platform_close_handle(ssh_process);
    if (ssh_job != nullptr) platform_close_handle(ssh_job);
    ssh_process = nullptr;
    ssh_job = nullptr;
  }

  // Operation names; a close also names the entry of the handle it closed.
  static std::vector<std::string> operations(size_t from = 0) {
    std::vector<std::string> names;
    for (size_t i = from; i < substitute.calls.size(); ++i) {
      const auto& call = substitute.calls[i];
      names.push_back(call.operation == "CloseHandle" ? "CloseHandle " + u8(call.path) : call.operation);
    }
    return names;
  }

  static uint32_t open_count(const std::u16string& key) {
    SubstituteEntry* entry = substitute_find(key);
    return entry == nullptr ? 0 : entry->open_count;
  }
};

std::string fatal_line(const std::string& message) {
  return "^vardokeep-agent: " + message + " \\(Windows error=[0-9]+\\)\n";
}

TEST_F(SshTransport, AliasMustBeAPlainConfiguredHostAlias) {
  struct Case {
    const char* alias;
    const char* message;
  };
  const Case refused[] = {
      {"", "invalid SSH alias"},
      {"-F", "invalid SSH alias"},
      {"-host", "invalid SSH alias"},
      {"backup@host", "SSH destination must be a configured host alias"},
      // The scan meets "=" before the leading dash is looked at.
      {"-oProxyCommand=x", "SSH destination must be a configured host alias"},
      {"host:22", "SSH destination must be a configured host alias"},
      {"vardo backup", "SSH destination must be a configured host alias"},
      {"h\xc3\xb4st", "SSH destination must be a configured host alias"},
      {"a/b", "SSH destination must be a configured host alias"},
  };
  for (const Case& c : refused) {
    EXPECT_EXIT(open_server_channel(c.alias, "C:\\cfg\\ssh.conf", false), testing::ExitedWithCode(1),
                fatal_line(c.message))
        << c.alias;
  }
  open_server_channel("Vardo_backup.2-x", "C:\\cfg\\ssh.conf", false);
  EXPECT_TRUE(substitute.child.resumed);
}

TEST_F(SshTransport, StdioStartsNothingAndChecksNothing) {
  substitute.entries.erase(SSH_PATH);
  open_server_channel("not an alias@", "", true);
  EXPECT_TRUE(substitute.calls.empty());
  EXPECT_EQ(server_channel.out, 1);
  EXPECT_EQ(server_channel.in, 0);
  EXPECT_EQ(ssh_job, nullptr);
}

TEST_F(SshTransport, MissingClientAndSystemDirectoryFail) {
  substitute.entries.erase(SSH_PATH);
  EXPECT_EXIT(open_server_channel("vardo-backup", "c", false), testing::ExitedWithCode(1),
              fatal_line("install Microsoft OpenSSH Client first"));
  EXPECT_EXIT(
      {
        substitute.faults.push_back({.operation = "GetSystemDirectoryW", .answer = 32001});
        open_server_channel("vardo-backup", "c", false);
      },
      testing::ExitedWithCode(1), fatal_line("system directory"));
  EXPECT_EXIT(
      {
        substitute.faults.push_back({"GetSystemDirectoryW", u"", 5});
        open_server_channel("vardo-backup", "c", false);
      },
      testing::ExitedWithCode(1), "system directory \\(Windows error=5\\)");
}

TEST_F(SshTransport, StartsClientSuspendedInKillOnCloseJobWithThreeInheritedHandles) {
  open_server_channel("vardo-backup", "C:\\Program Files\\cfg dir\\", false);

  const std::vector<std::string> expected = {
      "GetSystemDirectoryW", "GetFileAttributesW",
      "CreatePipe", "CreatePipe",
      "SetHandleInformation", "SetHandleInformation",
      "DuplicateHandle",
      "InitializeProcThreadAttributeList(size)", "InitializeProcThreadAttributeList",
      "UpdateProcThreadAttribute",
      "CreateJobObjectW", "SetInformationJobObject",
      "CreateProcessW",
      "DeleteProcThreadAttributeList",
      // The child's three handles are the agent's no more before ssh can run.
      "CloseHandle pipe:to-child", "CloseHandle pipe:from-child", "CloseHandle stderr-copy",
      "AssignProcessToJobObject",
      "ResumeThread",
      "CloseHandle thread:ssh",
  };
  EXPECT_EQ(operations(), expected);
  EXPECT_EQ(substitute.calls[1].path, SSH_PATH);
  EXPECT_EQ(substitute.calls[2].size, 65536u);  // pipe buffer
  EXPECT_EQ(substitute.calls[3].size, 65536u);
  // The agent's own ends lose inheritance: first the read end of the answers.
  EXPECT_EQ(substitute.calls[4].path, u"pipe:from-child/read");
  EXPECT_EQ(substitute.calls[5].path, u"pipe:to-child/write");
  EXPECT_EQ(substitute.calls[8].size, substitute.child.attribute_list_size);

  const std::vector<std::u16string> inherited = {u"pipe:to-child/read", u"pipe:from-child/write",
                                                 u"stderr-copy"};
  EXPECT_EQ(substitute.child.handle_list, inherited);
  EXPECT_EQ(substitute.child.std_handles[0], inherited[0]);
  EXPECT_EQ(substitute.child.std_handles[1], inherited[1]);
  EXPECT_EQ(substitute.child.std_handles[2], inherited[2]);

  EXPECT_EQ(substitute.child.application, SSH_PATH);
  EXPECT_EQ(substitute.child.command_line,
            u"\"C:\\Windows\\system32\\OpenSSH\\ssh.exe\" \"-F\" \"C:\\Program Files\\cfg dir\\\\\" \"-T\""
            u" \"-oBatchMode=yes\" \"-oStrictHostKeyChecking=yes\" \"-oIdentitiesOnly=yes\""
            u" \"-oConnectTimeout=15\" \"-oServerAliveInterval=30\" \"-oServerAliveCountMax=3\""
            u" \"vardo-backup\" \"receive\"");

  EXPECT_TRUE(substitute.child.kill_on_close);
  EXPECT_TRUE(substitute.child.in_job);
  // Before the assignment only the agent's two ends were still open.
  EXPECT_EQ(substitute.child.pipe_handles_open_at_assign, 2u);
  EXPECT_EQ(open_count(u"stderr-copy"), 0u);
  EXPECT_EQ(open_count(u"thread:ssh"), 0u);
  EXPECT_EQ(open_count(u"process:ssh"), 1u);
  EXPECT_EQ(open_count(u"job:ssh"), 1u);
  EXPECT_NE(ssh_job, nullptr);
  EXPECT_NE(ssh_process, nullptr);
  EXPECT_GE(server_channel.in, 1000);
  EXPECT_GE(server_channel.out, 1000);
}

TEST_F(SshTransport, ChannelReachesTheChildAndClosesCleanly) {
  substitute.child.answer = {'V', 'A', 'R', 'D', 'O', 'R', '0', '7'};
  open_server_channel("vardo-backup", "c", false);
  exchange_hello();
  size_t before_close = substitute.calls.size();
  close_server_channel();
  const std::vector<std::string> closing = {"CloseHandle pipe:to-child", "CloseHandle pipe:from-child",
                                            "WaitForSingleObject",       "GetExitCodeProcess",
                                            "CloseHandle process:ssh",   "CloseHandle job:ssh"};
  EXPECT_EQ(operations(before_close), closing);

  const std::vector<uint8_t> hello = {'V', 'A', 'R', 'D', 'O', 'R', '0', '7', 0};
  EXPECT_EQ(substitute_find(u"pipe:to-child")->content, hello);
  EXPECT_EQ(substitute.child.wait_milliseconds, 30000u);
  for (const char16_t* key : {u"pipe:to-child", u"pipe:from-child", u"process:ssh", u"job:ssh"}) {
    EXPECT_EQ(open_count(key), 0u) << std::string(key, key + 3);
  }
  EXPECT_EQ(ssh_job, nullptr);
  EXPECT_EQ(ssh_process, nullptr);
}

TEST_F(SshTransport, ClosingWithStdioOnlyClosesTheDescriptors) {
  int a[2], b[2];
  ASSERT_EQ(pipe(a), 0);
  ASSERT_EQ(pipe(b), 0);
  server_channel = ServerChannel{a[1], b[0]};
  close_server_channel();
  EXPECT_TRUE(substitute.calls.empty());
  char byte;
  EXPECT_EQ(read(a[0], &byte, 1), 0);  // the write end is closed
  EXPECT_EQ(fcntl(b[0], F_GETFD), -1);
  close(a[0]);
  close(b[1]);
}

// A failure after the job exists must close it, and so end the child.
void report_child_at_exit() {
  SubstituteEntry* job = substitute_find(u"job:ssh");
  fprintf(stderr, "terminated=%lld job_open=%u\n", static_cast<long long>(substitute.child.terminated_with),
          job == nullptr ? 0u : job->open_count);
}

TEST_F(SshTransport, EveryStartStepFailsWithItsMessage) {
  struct Case {
    const char* failing_call;
    uint32_t call;  // which of its calls fails (0: every one)
    const char* message;
    const char* after;  // what the exit report must show
  };
  const Case cases[] = {
      {"CreatePipe", 1, "SSH pipes", "terminated=-1 job_open=0"},
      {"CreatePipe", 2, "SSH pipes", "terminated=-1 job_open=0"},
      {"SetHandleInformation", 1, "SSH handle protection", "terminated=-1 job_open=0"},
      {"SetHandleInformation", 2, "SSH handle protection", "terminated=-1 job_open=0"},
      {"DuplicateHandle", 0, "SSH stderr", "terminated=-1 job_open=0"},
      {"InitializeProcThreadAttributeList", 0, "SSH handle list", "terminated=-1 job_open=0"},
      {"UpdateProcThreadAttribute", 0, "SSH handle list", "terminated=-1 job_open=0"},
      {"CreateJobObjectW", 0, "SSH process supervision", "terminated=-1 job_open=0"},
      {"SetInformationJobObject", 0, "SSH process supervision", "terminated=-1 job_open=0"},
      {"CreateProcessW", 0, "start Microsoft OpenSSH", "terminated=-1 job_open=0"},
      // The suspended child is ended with 125 before the fatal line; the
      // reported code is that of the failed assignment.
      {"AssignProcessToJobObject", 0, "assign SSH supervision", "terminated=125 job_open=0"},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT(
        {
          atexit(report_child_at_exit);
          substitute.faults.push_back({c.failing_call, u"", 1234, c.call});
          open_server_channel("vardo-backup", "c", false);
        },
        testing::ExitedWithCode(1),
        std::string("^vardokeep-agent: ") + c.message + " \\(Windows error=1234\\)\n" + c.after + "\n$")
        << c.failing_call << " #" << c.call;
  }
  EXPECT_EXIT(
      {
        atexit(report_child_at_exit);
        substitute.faults.push_back({"_open_osfhandle", u"", WIN_ERROR_INVALID_PARAMETER});
        open_server_channel("vardo-backup", "c", false);
      },
      testing::ExitedWithCode(1), fatal_line("SSH descriptors") + "terminated=-1 job_open=0\n$");
}

TEST_F(SshTransport, ChildThatDoesNotEndCleanlyFailsAfterConfirmation) {
  struct Case {
    const char* name;
    uint32_t wait_result;
    const char* failing_call;
    uint32_t exit_code;
  };
  const Case cases[] = {
      {"still running after 30 s", WIN_WAIT_TIMEOUT, nullptr, 0},
      {"wait failed", WIN_WAIT_OBJECT_0, "WaitForSingleObject", 0},
      {"exit code unknown", WIN_WAIT_OBJECT_0, "GetExitCodeProcess", 0},
      {"exit code 255", WIN_WAIT_OBJECT_0, nullptr, 255},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT(
        {
          atexit(report_child_at_exit);
          open_server_channel("vardo-backup", "c", false);
          substitute.child.wait_result = c.wait_result;
          substitute.child.exit_code = c.exit_code;
          if (c.failing_call != nullptr) substitute.faults.push_back({c.failing_call, u"", 6});
          close_server_channel();
        },
        testing::ExitedWithCode(1), fatal_line("SSH failed after server confirmation") + "terminated=-1 job_open=0\n$")
        << c.name;
  }
}

}  // namespace

// A backup over real OpenSSH: sshd on 127.0.0.1 with its own host key, and an
// authorized key whose forced command runs the reference server's receive. The
// agent runs under Wine with --stdio, joined to the Linux ssh client, which
// checks the host key strictly and never asks anything.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/transfer/support/sample_tree.h"
#include "tests/transfer/support/wine_backup.h"

namespace {

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  std::string text = s.str();
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
}

int free_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  close(s);
  return ntohs(address.sin_port);
}

bool port_open(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool open = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(s);
  return open;
}

class BackupOverOpenSsh : public testing::Test {
 protected:
  std::string dir, store, ssh_config;
  ChildProcess sshd;

  void SetUp() override {
    dir = fresh_directory("openssh");
    store = dir + "/store";
    for (const char* key : {"/host_key", "/client_key"}) {
      ASSERT_EQ(run_child({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", dir + key}).exit_code, 0) << key;
    }
    write_text(dir + "/authorized_keys", "command=\"'" + refserver_path() + "' receive --store '" + store +
                                             "'\",restrict " + read_text(dir + "/client_key.pub") + "\n");
    const int port = free_port();
    write_text(dir + "/sshd_config", "Port " + std::to_string(port) +
                                         "\nListenAddress 127.0.0.1\nHostKey " + dir + "/host_key\nPidFile " + dir +
                                         "/sshd.pid\nAuthorizedKeysFile " + dir +
                                         "/authorized_keys\nStrictModes no\nPasswordAuthentication no\n"
                                         "KbdInteractiveAuthentication no\nUsePAM no\n"
                                         "PermitRootLogin prohibit-password\nLogLevel ERROR\n");
    const passwd* user = getpwuid(getuid());
    ASSERT_NE(user, nullptr);
    write_text(dir + "/known_hosts", "[127.0.0.1]:" + std::to_string(port) + " " + read_text(dir + "/host_key.pub") + "\n");
    ssh_config = dir + "/ssh_config";
    write_text(ssh_config, "Host vardo-e2e\n  HostName 127.0.0.1\n  Port " + std::to_string(port) + "\n  User " +
                               user->pw_name + "\n  IdentityFile " + dir + "/client_key\n  IdentitiesOnly yes\n"
                               "  UserKnownHostsFile " + dir + "/known_hosts\n  GlobalKnownHostsFile /dev/null\n"
                               "  StrictHostKeyChecking yes\n  BatchMode yes\n");
    // sshd started as root insists on its privilege separation directory.
    if (getuid() == 0) mkdir("/run/sshd", 0755);
    // Its log (the readiness probes show there as closed connections) stays in the folder.
    sshd = start_child({"/usr/sbin/sshd", "-D", "-e", "-f", dir + "/sshd_config"},
                       {.stdin_file = "/dev/null", .stdout_file = "/dev/null", .stderr_file = dir + "/sshd.log"});
    for (int i = 0; i < 100 && !port_open(port); ++i) usleep(100000);
    ASSERT_TRUE(port_open(port)) << "sshd did not start";
  }

  void TearDown() override {
    if (sshd.pid > 0) {
      kill(sshd.pid, SIGTERM);
      child_finish(&sshd);
    }
  }

  ChildResult backup(const std::string& source, int* ssh_status, std::string* ssh_err) {
    return backup_joined_to({"ssh", "-F", ssh_config, "-T", "vardo-e2e", "receive"}, source, {}, ssh_status, ssh_err);
  }
};

TEST_F(BackupOverOpenSsh, GeneratedTreeRoundTripsAndAnUnchangedTreeSendsNoPayload) {
  SampleTree tree = sample_tree(11);
  ChunkTotals totals = chunk_totals(tree);
  std::string source = dir + "/source";
  write_sample_tree(tree, source);

  int ssh_status = -1;
  std::string ssh_err;
  ChildResult first = backup(source, &ssh_status, &ssh_err);
  ASSERT_EQ(first.exit_code, 0) << first.err << ssh_err;
  EXPECT_EQ(ssh_status, 0) << ssh_err;
  const std::string snapshot = report_value(first.err, "snapshot");
  ASSERT_FALSE(snapshot.empty()) << first.err;
  EXPECT_EQ(report_value(first.err, "chunks_checked"), std::to_string(totals.chunks));
  EXPECT_EQ(report_value(first.err, "chunk_bytes_sent"), std::to_string(totals.distinct_chunk_bytes));

  std::string errors;
  std::string restored = restore_snapshot(store, snapshot, &errors);
  ASSERT_FALSE(restored.empty()) << errors;
  EXPECT_TRUE(same_tree(source, restored));
  ChildResult verified = run_refserver({"verify", "--store", store, "--snapshot", snapshot, "--tree", source});
  EXPECT_EQ(verified.exit_code, 0) << verified.out << verified.err;

  ChildResult second = backup(source, &ssh_status, &ssh_err);
  ASSERT_EQ(second.exit_code, 0) << second.err << ssh_err;
  EXPECT_EQ(report_value(second.err, "chunks_checked"), std::to_string(totals.chunks));
  EXPECT_EQ(report_value(second.err, "chunk_bytes_sent"), "0");
  EXPECT_EQ(report_value(second.err, "chunk_wire_bytes_sent"), "0");
  std::string second_restored = restore_snapshot(store, report_value(second.err, "snapshot"), &errors);
  ASSERT_FALSE(second_restored.empty()) << errors;
  EXPECT_TRUE(same_tree(source, second_restored));
}

TEST_F(BackupOverOpenSsh, UnknownHostKeyEndsTheRunAsAClosedConnection) {
  write_text(dir + "/known_hosts", "");
  std::string source = dir + "/source";
  write_sample_tree(sample_tree(12), source);
  int ssh_status = -1;
  std::string ssh_err;
  ChildResult run = backup(source, &ssh_status, &ssh_err);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.err.find("vardokeep-agent: connection closed; retry to reuse received chunks"), std::string::npos)
      << run.err;
  EXPECT_EQ(ssh_status, 255);
  EXPECT_NE(ssh_err.find("Host key verification failed"), std::string::npos) << ssh_err;
}

}  // namespace

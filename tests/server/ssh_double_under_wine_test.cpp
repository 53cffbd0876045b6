// The ssh.exe double, run under Wine from System32\OpenSSH as the agent runs
// it: it checks its argument vector, records it, and serves `receive` into a
// store that the native server then reads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "tests/support/refserver_run.h"
#include "tests/wine_harness/wine_harness.h"
#include "wire_bytes.h"

namespace {

const char kDoubleWindowsPath[] = "C:\\windows\\system32\\OpenSSH\\ssh.exe";

void install_double() {
  const std::string directory = wine_drive_c() + "/windows/system32/OpenSSH";
  ASSERT_EQ(system(("mkdir -p '" + directory + "'").c_str()), 0);
  const Bytes exe = read_file(win_build_exe("server/ssh.exe"));
  ASSERT_FALSE(exe.empty()) << "no ssh.exe in the MinGW build tree";
  // Other tests may start the double meanwhile: replace it in one rename.
  const std::string part = directory + "/ssh.exe." + std::to_string(getpid());
  write_file(part, exe);
  ASSERT_EQ(rename(part.c_str(), (directory + "/ssh.exe").c_str()), 0);
}

std::vector<std::string> agent_arguments(const std::string& alias) {
  return {"-F", "C:\\cfg\\ssh.conf", "-T", "-oBatchMode=yes", "-oStrictHostKeyChecking=yes",
          "-oIdentitiesOnly=yes", "-oConnectTimeout=15", "-oServerAliveInterval=30", "-oServerAliveCountMax=3",
          alias, "receive"};
}

struct DoubleRun {
  std::string root = fresh_directory("ssh-double");
  std::string store = root + "/store";
  std::string log = root + "/argv.txt";
  std::vector<std::string> environment = {"VARDOKEEP_DOUBLE_STORE=" + windows_path_of(store),
                                          "VARDOKEEP_DOUBLE_EXPECT_CONFIG=C:\\cfg\\ssh.conf",
                                          "VARDOKEEP_DOUBLE_EXPECT_ALIAS=vardo-backup",
                                          "VARDOKEEP_DOUBLE_ARGV_LOG=" + windows_path_of(log)};
};

TEST(SshDoubleUnderWine, ServesReceiveIntoAStoreTheNativeServerReads) {
  install_double();
  DoubleRun run;
  const Bytes a = pattern_chunk(4096, 77), zeros(4096, 0);
  const Bytes manifest = manifest_bytes({dir_entry("."), file_entry("f", 8192, {1, 2})});
  Bytes script = hello_bytes();
  put_bytes(script, batch_bytes({a, zeros}));
  put_bytes(script, raw_frame(a));
  put_bytes(script, smallest_frame(zeros));
  put_bytes(script, final_bytes(manifest.size()));
  put_bytes(script, manifest);
  ChildOptions options;
  options.input.assign(script.begin(), script.end());
  options.environment = run.environment;
  const ChildResult result = run_under_wine(kDoubleWindowsPath, agent_arguments("vardo-backup"), options);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  ASSERT_EQ(result.out.size(), 8u + 2u + 16u + 129u) << result.err;
  EXPECT_EQ(result.out.substr(0, 10), std::string("VARDOR07\0\0", 10));
  const Bytes ids(result.out.begin() + 10, result.out.begin() + 26);
  EXPECT_EQ(id_at(ids, 0), 1u);
  EXPECT_EQ(id_at(ids, 1), 2u);
  const std::string name = result.out.substr(26, result.out.find('\0', 26) - 26);

  const Bytes log = read_file(run.log);
  const std::string recorded(log.begin(), log.end());
  EXPECT_NE(recorded.find("argument=C:\\cfg\\ssh.conf\nargument=-T\n"), std::string::npos) << recorded;
  EXPECT_NE(recorded.find("argument=vardo-backup\nargument=receive\n"), std::string::npos) << recorded;

  EXPECT_EQ(run_refserver({"list", "--store", run.store}).out, name + "\n");
  const ChildResult restored =
      run_refserver({"restore", "--store", run.store, "--snapshot", name, "--target", run.root + "/out"});
  ASSERT_EQ(restored.exit_code, 0) << restored.err;
  Bytes expected = a;
  put_bytes(expected, zeros);
  EXPECT_EQ(read_file(run.root + "/out/f"), expected);
}

TEST(SshDoubleUnderWine, RefusesAnotherArgumentVectorAndHonoursFaults) {
  install_double();
  const Bytes manifest = manifest_bytes({dir_entry(".")});
  Bytes script = hello_bytes();
  put_bytes(script, final_bytes(manifest.size()));
  put_bytes(script, manifest);
  ChildOptions options;
  options.input.assign(script.begin(), script.end());

  DoubleRun wrong_alias;
  options.environment = wrong_alias.environment;
  ChildResult result = run_under_wine(kDoubleWindowsPath, agent_arguments("other-host"), options);
  EXPECT_EQ(result.exit_code, 255);
  EXPECT_NE(result.err.find("element 10 is \"other-host\""), std::string::npos) << result.err;
  EXPECT_TRUE(result.out.empty());

  std::vector<std::string> missing_option = agent_arguments("vardo-backup");
  missing_option.erase(missing_option.begin() + 3);
  DoubleRun short_vector;
  options.environment = short_vector.environment;
  result = run_under_wine(kDoubleWindowsPath, missing_option, options);
  EXPECT_EQ(result.exit_code, 255);
  EXPECT_NE(result.err.find("expected 12 command-line elements, got 11"), std::string::npos) << result.err;

  DoubleRun exit_code;
  options.environment = exit_code.environment;
  options.environment.push_back("VARDOKEEP_FAULT_EXIT_CODE=3");
  result = run_under_wine(kDoubleWindowsPath, agent_arguments("vardo-backup"), options);
  EXPECT_EQ(result.exit_code, 3) << result.err;
  EXPECT_EQ(result.out.size(), 8u + 129u);
}

}  // namespace

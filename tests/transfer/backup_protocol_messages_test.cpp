// The hello, the final message, the manifest upload and the snapshot
// confirmation, byte for byte and call by call, against a scripted server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "agent/capture/manifest_writer.h"
#include "agent/platform/substitute/substitute_volume.h"
#include "agent/run_control/process_resources.h"
#include "agent/transfer/backup_protocol.h"
#include "agent/transfer/server_channel.h"
#include "tests/transfer/scripted_peer.h"

namespace {

const Bytes MAGIC = bytes_of("VARDOR07");

std::string fatal_line(const std::string& message) {
  return "^vardokeep-agent: " + message + " \\(Windows error=[0-9]+\\)\n$";
}

Bytes confirmation_of(const std::string& name, const Bytes& rest = {}) {
  Bytes c = bytes_of(name);
  c.push_back(0);
  c.insert(c.end(), rest.begin(), rest.end());
  c.resize(129, 0);
  return c;
}

class BackupProtocol : public testing::Test {
 protected:
  ScriptedPeer peer;
  std::string manifest_path;

  void SetUp() override {
    substitute_reset();
    server_channel = ServerChannel{peer.agent_out, peer.agent_in};
    ssh_process = nullptr;
    ssh_job = nullptr;
    manifest_fd = make_temp_file(&manifest_path);
  }
  void TearDown() override {
    if (manifest_fd >= 0) close(manifest_fd);
    manifest_fd = -1;
    unlink(manifest_path.c_str());
  }
  void write_manifest(const Bytes& content) {
    ASSERT_EQ(pwrite(manifest_fd, content.data(), content.size(), 0), static_cast<ssize_t>(content.size()));
    manifest_end = content.size();
  }
  // upload_manifest closes the agent's ends itself.
  void agent_closed_its_ends() {
    peer.agent_out = -1;
    peer.agent_in = -1;
  }
};

TEST_F(BackupProtocol, HelloIsTheMagicThenATrailerWrittenOnItsOwn) {
  peer.answer(MAGIC);
  exchange_hello();
  const std::vector<Bytes> expected = {MAGIC, Bytes{0x00}};
  EXPECT_EQ(peer.packets(), expected);
}

TEST_F(BackupProtocol, HelloAnswerOfAnotherGenerationIsRefused) {
  for (const char* answer : {"VARDOR06", "VARDOR08", "vardor07", "XARDOR07"}) {
    EXPECT_EXIT(
        {
          peer.answer(bytes_of(answer));
          exchange_hello();
        },
        testing::ExitedWithCode(1), fatal_line("server requires vardokeep 0.36.0 or later"))
        << answer;
  }
  // The server's end must close in this process too, or the agent never sees it go.
  peer.answer(bytes_of("VARDOR0"));
  peer.hang_up();
  EXPECT_EXIT(exchange_hello(), testing::ExitedWithCode(1), fatal_line("connection closed; retry to reuse received chunks"));
}

TEST_F(BackupProtocol, ManifestOf65537BytesGoesAsFinalMessageThenTwoPieces) {
  Bytes manifest(65537);
  for (size_t i = 0; i < manifest.size(); ++i) manifest[i] = static_cast<uint8_t>(i * 31 + 7);
  write_manifest(manifest);
  peer.answer(confirmation_of("host1-20240101T000000Z"));

  testing::internal::CaptureStderr();
  upload_manifest();
  std::string err = testing::internal::GetCapturedStderr();
  agent_closed_its_ends();

  std::vector<Bytes> packets = peer.packets();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[0], (Bytes{0x02, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(packets[1], Bytes(manifest.begin(), manifest.begin() + 65536));
  EXPECT_EQ(packets[2], Bytes{manifest.back()});
  EXPECT_EQ(err, "snapshot=host1-20240101T000000Z\n");
}

TEST_F(BackupProtocol, ManifestThatCannotBeRewoundFails) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(manifest_fd);
  manifest_fd = fds[0];
  manifest_end = 8;
  EXPECT_EXIT(upload_manifest(), testing::ExitedWithCode(1), fatal_line("rewind manifest"));
  close(fds[1]);
}

TEST_F(BackupProtocol, ManifestShorterThanRecordedFails) {
  write_manifest(Bytes(50, 1));
  manifest_end = 100;
  EXPECT_EXIT(upload_manifest(), testing::ExitedWithCode(1), fatal_line("read manifest"));
  // The final message announced the recorded length, and the 50 bytes went out.
  std::vector<Bytes> packets = peer.packets();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0], concat({Bytes{0x02}, u64le(100)}));
  EXPECT_EQ(packets[1].size(), 50u);
}

TEST_F(BackupProtocol, ConfirmationIsCheckedBeforeTheSnapshotLine) {
  write_manifest(bytes_of("VARDOM06"));
  struct Case {
    Bytes confirmation;
    const char* message;  // null: accepted
    const char* name;
  };
  const Case cases[] = {
      {confirmation_of(std::string(128, 'a')), nullptr, "128-byte name"},
      {confirmation_of("A-z_0.9", Bytes{0xFF, 0xC3, ':', ' '}), nullptr, "bytes after the NUL are ignored"},
      {Bytes(129, 'a'), "invalid snapshot confirmation", "no NUL"},
      {confirmation_of(""), "invalid snapshot confirmation", "empty name"},
      {confirmation_of("snap:1"), "invalid snapshot name", "colon"},
      {confirmation_of("snap 1"), "invalid snapshot name", "space"},
      {confirmation_of("snap/1"), "invalid snapshot name", "slash"},
      {confirmation_of("sn\xc3\xa4p"), "invalid snapshot name", "non-ASCII"},
  };
  for (const Case& c : cases) {
    if (c.message == nullptr) {
      EXPECT_EXIT(
          {
            peer.answer(c.confirmation);
            upload_manifest();
            exit(0);
          },
          testing::ExitedWithCode(0), "^snapshot=[A-Za-z0-9_.-]+\n$")
          << c.name;
    } else {
      EXPECT_EXIT(
          {
            peer.answer(c.confirmation);
            upload_manifest();
          },
          testing::ExitedWithCode(1), fatal_line(c.message))
          << c.name;
    }
    peer.packets();
  }
}

TEST_F(BackupProtocol, ServerGoneBeforeTheConfirmationPrintsNoSnapshot) {
  write_manifest(bytes_of("VARDOM06"));
  peer.answer(bytes_of("snap"));
  peer.hang_up();
  EXPECT_EXIT(upload_manifest(), testing::ExitedWithCode(1), fatal_line("connection closed; retry to reuse received chunks"));
  close(peer.peer_in);  // nobody reads any more: the next write fails
  peer.peer_in = -1;
  EXPECT_EXIT(upload_manifest(),
      testing::ExitedWithCode(1), fatal_line("connection closed; retry to reuse received chunks"));
}

TEST(ChannelCalls, WritesAndReadsMoveAtMost64KiBPerCall) {
  ScriptedPeer peer;
  Bytes big(200000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
  write_all(peer.agent_out, big.data(), big.size());
  std::vector<Bytes> packets = peer.packets();
  ASSERT_EQ(packets.size(), 4u);
  EXPECT_EQ(packets[0].size(), 65536u);
  EXPECT_EQ(packets[1].size(), 65536u);
  EXPECT_EQ(packets[2].size(), 65536u);
  EXPECT_EQ(packets[3].size(), 200000u - 3 * 65536u);
  EXPECT_EQ(concat(packets), big);

  // The answer arrives in two parts; read_exact waits for the second.
  std::thread server([&] {
    peer.answer(Bytes(big.begin(), big.begin() + 1000));
    usleep(20000);
    peer.answer(Bytes(big.begin() + 1000, big.end()));
  });
  Bytes received(big.size());
  read_exact(peer.agent_in, received.data(), received.size());
  server.join();
  EXPECT_EQ(received, big);
}

}  // namespace

// KorvaneCDVD.dll as newer emulators drive it, under Wine: the dialog on the host's GUI
// thread, which goes on dispatching its messages, and CDVDopen, every read and CDVDclose on
// an emulation thread of its own from the moment the dialog closes. A scripted server
// sends texts, prompts and disc lists around replies cut into many batches, splits a list
// around a request, and answers a data request with a raw sector; every sector read is
// checked.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "TestSupport.h"
#include "HostileServer.h"
#include "DialogDriver.h"
#include "dialogs/ConfigControlIds.h"
#include "platform/FileSystem.h"

namespace korvane {
namespace {

using test::HostilePeer;
using test::HostileServer;
using test::PatternSector;

constexpr uint32_t kSectors = 1500;  // of the served disc, 2048 bytes each
constexpr int32_t kModeData = 3;

std::string Sectors(uint32_t first, uint32_t count) {
  std::string bytes;
  for (uint32_t lsn = first; lsn < first + count && lsn < kSectors; ++lsn) {
    std::vector<uint8_t> sector = PatternSector(lsn, 2048);
    bytes.append(sector.begin(), sector.end());
  }
  return bytes;
}

// Sends bytes in pieces of a few hundred bytes, with a pause now and then, so that they
// arrive over many batches.
bool SendCut(HostilePeer& peer, const std::string& bytes) {
  for (size_t at = 0, n = 0; at < bytes.size(); at += 389, ++n) {
    if (!peer.Send(bytes.substr(at, 389))) return false;
    if (n % 6 == 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class HostThreadsTest : public ::testing::Test {
 protected:
  HostThreadsTest() : previous_(platform::GetWorkingDirectory()) {
    platform::SetWorkingDirectory(folder_.Path().string());
  }
  ~HostThreadsTest() override {
    dll_.reset();
    platform::SetWorkingDirectory(previous_);
  }

  // Connects the dialog to the server at port, picks its one disc and closes the dialog.
  void Configure(int port) {
    test::RunConfigure(dll_->configure, [&](test::ConfigDialog& dialog) {
      std::string output;
      ASSERT_TRUE(dialog.ConnectAndList(std::to_string(port), 1, output)) << output;
      dialog.Pick(IDC_FILELIST, 0);
      dialog.Click(IDC_BUTTON1);
    });
  }

  // Runs play on an emulation thread that dispatches nothing, started as soon as the
  // dialog has closed, while this thread dispatches its messages until it ends.
  void PlayOnEmulationThread(const std::function<void()>& play) {
    std::atomic<bool> done{false};
    std::thread emulation([&] {
      play();
      done = true;
    });
    bool ended = test::PumpMessagesUntil([&] { return done.load(); }, 120000);
    emulation.join();
    EXPECT_TRUE(ended);
  }

  // Reads lsn in mode 3 and checks it; a failure is counted and the first ones described.
  void ReadAndCheck(uint32_t lsn) {
    ++reads_;
    const uint8_t* buffer = dll_->readTrack(lsn, kModeData) == 0 ? dll_->getBuffer() : nullptr;
    std::vector<uint8_t> expected = PatternSector(lsn, 2048);
    if (buffer && std::memcmp(buffer, expected.data(), expected.size()) == 0) return;
    if (++failures_ <= 3) ADD_FAILURE() << "lsn " << lsn << (buffer ? ": wrong bytes" : ": failed");
  }

  test::ScratchFolder folder_;
  std::string previous_;
  test::CapturedStdout trace_{folder_.PathOf("trace.txt")};
  std::unique_ptr<test::PluginDll> dll_ = std::make_unique<test::PluginDll>();
  int reads_ = 0;
  int failures_ = 0;
};

// The link's connection: a run of one to eight sectors, or a single sector, for every
// request, cut into many batches, with texts before it, a prompt, a text or a list after
// it, and every seventh time a list whose body is finished only with the next reply.
void ServeAmidMessages(HostilePeer& peer) {
  const std::string text = "\x01Server notice\n";
  const std::string list = test::DiscList({"disc.iso", "other.iso"});
  std::string listRest;
  int mode = 0;
  uint32_t lsn = 0;
  for (int n = 0; peer.TakeRequest(mode, lsn, 10000); ++n) {
    std::string reply =
        n % 3 == 0 ? "\x04" + Sectors(lsn, 1) : test::RunReply(Sectors(lsn, 1 + n % 8));
    std::string after = n % 3 == 0 ? "\x06" : n % 3 == 1 ? list : text;
    if (!SendCut(peer, listRest + (n % 2 ? text : "") + reply)) return;
    listRest.clear();
    if (n % 7 == 6) {
      after = list.substr(0, list.size() - 9);
      listRest = list.substr(list.size() - 9);
    }
    if (!peer.Send(after)) return;
  }
}

TEST_F(HostThreadsTest, AnEmulationThreadReadsWhileTheGuiThreadDispatches) {
  HostileServer server([](HostilePeer& peer) {
    if (!peer.LogIn(test::DiscList({"disc.iso"}))) return;
    if (peer.Number() == 0) return peer.IdleUntilClosed();  // the dialog's connection
    ServeAmidMessages(peer);
  });
  Configure(server.Port());
  PlayOnEmulationThread([&] {
    dll_->open();
    for (uint32_t lsn = 0; lsn < kSectors; ++lsn) ReadAndCheck(lsn);
    for (uint32_t n = 0; n < 1000; ++n) ReadAndCheck((n * 7919u) % kSectors);
    dll_->close();
  });
  EXPECT_EQ(failures_, 0) << "of " << reads_ << " reads";
  const std::string trace = trace_.Text();
  size_t failed = trace.find("not read");
  EXPECT_EQ(failed, std::string::npos) << trace.substr(failed < 3000 ? 0 : failed - 3000, 3200);
}

// The disc selections in what the plugin sent from offset on (logins with an empty user
// and password, requests and selections).
int SelectionsFrom(const std::string& sent, size_t offset) {
  int selections = 0;
  for (size_t at = offset; at < sent.size();) {
    if (sent[at] == 3) ++selections;
    if (sent[at] == 1 || sent[at] == 3) {
      at += sent[at] == 1 ? 3 : 2;
      continue;
    }
    for (at += 2; at < sent.size() && sent[at] >= '0' && sent[at] <= '9';) ++at;
  }
  return selections;
}

TEST_F(HostThreadsTest, ARawSectorIsOneReplyAndTheLastReplyComesWithTheClose) {
  constexpr int kReplies = 50;
  std::atomic<int> phantoms{0};  // selections sent after the first request: phantom prompts
  HostileServer server([&](HostilePeer& peer) {
    if (!peer.LogIn(test::DiscList({"disc.iso"}))) return;
    if (peer.Number() == 0) return peer.IdleUntilClosed();
    int mode = 0;
    uint32_t lsn = 0;
    size_t first = 0;
    for (int n = 0; n < kReplies && peer.TakeRequest(mode, lsn, 10000); ++n) {
      if (n == 0) first = peer.Received().size();
      // The raw sector's last 304 bytes would read as a prompt and a text.
      std::string raw = "\x04" + Sectors(lsn, 1) + "\x06\x01" + std::string(302, 'x');
      std::string reply = n == 0 ? raw : "\x04" + Sectors(lsn, 1);
      if (n + 1 == kReplies) {
        // The server's close follows the last bytes of its last reply at once.
        peer.Send(reply.substr(0, 1000));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        peer.Send(reply.substr(1000));
        return;
      }
      if (!peer.Send(reply)) return;
      peer.ReceiveUntil([](const std::string&) { return false; }, 20);
      phantoms = SelectionsFrom(peer.Received(), first);
    }
  });
  Configure(server.Port());
  PlayOnEmulationThread([&] {
    dll_->open();
    for (uint32_t lsn = 0; lsn < kReplies; ++lsn) ReadAndCheck(lsn);
    // The link is gone now: this read makes it again, on the emulation thread, and the new
    // connection's first reply is a raw sector again.
    ReadAndCheck(kReplies);
    dll_->close();
  });
  EXPECT_EQ(failures_, 0) << "of " << reads_ << " reads";
  EXPECT_EQ(phantoms, 0);
  // Each raw sector is kept whole: 2352 bytes, the data sectors, 2352 bytes again, and the
  // data sector asked for ahead of need after it.
  EXPECT_EQ(std::filesystem::file_size(folder_.Path() / "Games" / "disc.iso.Block"),
            2 * 2352u + kReplies * 2048u);
}

}  // namespace
}  // namespace korvane

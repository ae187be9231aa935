// What passes between threads, and between programs' copies of the read path: the dialog's
// settings on their way to the reading thread, plugin links lent to reads while the dialog
// replaces them, and two disc sessions of one program that share nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CacheTestFixture.h"
#include "ScriptedConnection.h"
#include "TestSockets.h"
#include "core/DialogChoices.h"
#include "core/session/DiscSession.h"
#include "core/link/LinkHolder.h"

namespace korvane {
namespace {

using test::Bytes;
using test::PatternSector;

TEST(DialogChoicesTest, SwitchesAtOnceTextsOnlyWhenTheReaderTakesThemAndInOrder) {
  PluginState state;
  DialogChoices choices;
  std::thread dialog([&] {
    choices.Change(state, [](PluginSettings& s) {
      s.remoteMode = true;
      s.selectedDiscName = "b.iso";
    });
    choices.ForgetCache("a.iso.Block");
  });
  dialog.join();
  EXPECT_TRUE(state.RemoteMode);
  EXPECT_EQ(state.SelectedDiscName, "");  // not before the reading thread applies it
  EXPECT_EQ(choices.Current(state).selectedDiscName, "b.iso");

  state.LoginUser = "set by the reader";  // a text the dialog did not change stays
  std::vector<std::string> seen;
  choices.ApplyTo(state, [&](const std::string& name) {
    seen.push_back(name + " after " + state.SelectedDiscName);
  });
  EXPECT_EQ(state.SelectedDiscName, "b.iso");
  EXPECT_EQ(state.LoginUser, "set by the reader");
  EXPECT_EQ(seen, std::vector<std::string>{"a.iso.Block after b.iso"});
  choices.ApplyTo(state, [&](const std::string& name) { seen.push_back(name); });
  EXPECT_EQ(seen.size(), 1u);  // applied once
}

TEST(DialogChoicesTest, ADialogChangingWhileTheReaderAppliesEndsWithItsLastTexts) {
  PluginState state;
  DialogChoices choices;
  std::atomic<bool> done{false};
  std::thread dialog([&] {
    for (int i = 0; i <= 2000; ++i) {
      choices.Change(state, [i](PluginSettings& s) {
        s.localImagePath = "D:\\images\\a rather long path to disc " + std::to_string(i);
        s.selectedDiscIndex = i;
      });
    }
    done = true;
  });
  while (!done) choices.ApplyTo(state, [](const std::string&) {});
  dialog.join();
  choices.ApplyTo(state, [](const std::string&) {});
  EXPECT_EQ(state.LocalImagePath, "D:\\images\\a rather long path to disc 2000");
  EXPECT_EQ(state.SelectedDiscIndex, 2000);
}

TEST(LinkHolderTest, AReplacedLinkLivesWhileLentAndClosesWhenItsLastReadGivesItBack) {
  test::CapturedTrace output;
  std::atomic<bool> debug{false};
  Trace trace(output, debug);
  test::RecordedErrors errors;
  LinkHolder links(trace, errors);
  EXPECT_EQ(links.Acquire().Link(), nullptr);  // none before the dialog made one

  int port = 0;
  test::sock::Socket listener = test::sock::Listen(port);
  ServerSocket& first = links.Replace();
  first.client.SetHost("127.0.0.1");
  first.client.SetPortNumber(port);
  first.client.Activate();
  ASSERT_TRUE(first.client.AwaitConnected(5000));
  test::sock::Socket peer = test::sock::Accept(listener, 5000);
  {
    LinkHolder::Lease read = links.Acquire();
    LinkHolder::Lease another = links.Acquire();
    ASSERT_EQ(read.Socket(), &first);
    ServerSocket& second = links.Replace();
    EXPECT_TRUE(read.Replaced());
    EXPECT_EQ(links.Current(), &second);
    EXPECT_EQ(links.Acquire().Socket(), &second);
    { LinkHolder::Lease moved(std::move(another)); }
    EXPECT_TRUE(first.client.IsConnected());  // one read still holds it
  }
  char bytes[256];
  int got;
  while ((got = test::sock::Receive(peer, bytes, sizeof bytes, 5000)) > 0) {
  }  // the login it sent on connecting, then its close
  EXPECT_EQ(got, test::sock::kClosed);
  links.Replace();  // the retired link, given back, is released now
  test::sock::Close(peer);
  test::sock::Close(listener);
}

// Two discs played at once by one program, each from its own link into its own files.
using DiscSessionTest = test::CacheTest;

TEST_F(DiscSessionTest, SessionsOfOneProgramShareNothing) {
  Trace& trace = plugin_->Tracer();
  test::RecordedErrors errors;
  test::ScriptedConnection connectionA, connectionB;
  ServerLink linkA(trace, errors), linkB(trace, errors);
  DiscSession a(trace, errors), b(trace, errors);  // each gone before its link
  linkA.Bind(connectionA);
  linkB.Bind(connectionB);
  a.Disc().SetLink(&linkA);
  b.Disc().SetLink(&linkB);
  a.Describe({"Games", "a.iso", 0, ""});
  b.Describe({"Games", "b.iso", 0, ""});

  SectorBytes into;
  for (uint32_t lsn : {7u, 8u}) {
    auto sectorA = PatternSector(lsn, 2048), sectorB = PatternSector(lsn + 1000, 2048);
    connectionA.Script(Bytes({4}) + std::string(sectorA.begin(), sectorA.end()));
    connectionB.Script(Bytes({4}) + std::string(sectorB.begin(), sectorB.end()));
    ASSERT_EQ(a.Remote().Read(lsn, kModeData2048, into), ReadResult::kServed);
    EXPECT_EQ(std::vector<uint8_t>(into.Data(), into.Data() + 2048), sectorA);
    ASSERT_EQ(b.Remote().Read(lsn, kModeData2048, into), ReadResult::kServed);
    EXPECT_EQ(std::vector<uint8_t>(into.Data(), into.Data() + 2048), sectorB);
  }
  EXPECT_EQ(ReadText("Games/a.iso.map"), "7/3/0\r\n8/3/2048\r\n");
  EXPECT_EQ(ReadText("Games/b.iso.map"), "7/3/0\r\n8/3/2048\r\n");
  ASSERT_EQ(b.Remote().Read(7, kModeData2048, into), ReadResult::kServed);  // b's own cache
  EXPECT_EQ(std::vector<uint8_t>(into.Data(), into.Data() + 2048), PatternSector(1007, 2048));
}

}  // namespace
}  // namespace korvane

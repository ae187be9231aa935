// The TCP client connection against a real server on the loopback interface: its events
// in order, send and fetch, waiting without data, a refused connection with its Windows
// socket error code, a server that closes, and a connection used by a reading thread that
// dispatches nothing while another thread gets its events, racing the event thread
// through the setup, and a close that waits for the fetch that meets the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackServer.h"
#include "platform/TcpClient.h"

namespace korvane {
namespace {

class RecordingEvents final : public platform::ConnectionEvents {
 public:
  void OnConnecting() override { events.push_back("connecting"); }
  void OnConnect() override { events.push_back("connect"); }
  void OnDisconnect() override { events.push_back("disconnect"); }
  void OnRead() override { events.push_back("read"); }
  void OnError(int& code) override {
    events.push_back("error " + std::to_string(code));
    code = 0;
  }
  bool Saw(const std::string& event) const {
    for (const auto& e : events) {
      if (e == event) return true;
    }
    return false;
  }
  std::vector<std::string> events;
};

// Pumps the client's events until done() or about five seconds have passed.
template <typename Done>
bool PumpUntil(platform::TcpClient& client, Done done) {
  for (int i = 0; i < 500 && !done(); ++i) client.Pump(10);
  return done();
}

TEST(TcpClient, ConnectsSendsFetchesAndSeesTheServerClose) {
  test::LoopbackServer server;
  RecordingEvents events;
  platform::TcpClient client(events);
  ASSERT_TRUE(client.SetHost("127.0.0.1"));
  ASSERT_TRUE(client.SetPortNumber(server.Port()));
  client.Activate();
  ASSERT_TRUE(PumpUntil(client, [&] { return client.IsConnected(); }));
  EXPECT_FALSE(client.SetPortNumber(1));  // refused while connected
  EXPECT_EQ(client.Port(), server.Port());
  EXPECT_EQ(events.events, (std::vector<std::string>{"connecting", "connect"}));
  EXPECT_EQ(client.PeerHost(), "127.0.0.1");
  EXPECT_EQ(client.PeerPort(), server.Port());
  ASSERT_TRUE(server.WaitForClient(5000));

  EXPECT_EQ(client.Send("\x01\x05u,p"), 5u);
  EXPECT_EQ(server.Received(5, 5000), "\x01\x05u,p");

  EXPECT_FALSE(client.WaitReadable(50));  // nothing to read: a plain timeout
  server.Send("hello");
  ASSERT_TRUE(PumpUntil(client, [&] { return events.Saw("read"); }));
  std::string got;
  for (int i = 0; i < 100 && got.size() < 5; ++i) {
    if (client.WaitReadable(50)) got += client.Fetch();
  }
  EXPECT_EQ(got, "hello");
  EXPECT_EQ(client.Fetch(), "");  // nothing pending is no close

  server.CloseClient();
  ASSERT_TRUE(PumpUntil(client, [&] {
    if (client.IsConnected() && client.WaitReadable(0)) client.Fetch();
    return events.Saw("disconnect");
  }));
  EXPECT_FALSE(client.IsConnected());
  EXPECT_EQ(client.Send("late"), 0u);  // dropped without a report
  EXPECT_FALSE(events.Saw("error 0"));
}

TEST(TcpClient, AReaderCompletesTheConnectAndKeepsTheBytesThatCameWithTheClose) {
  test::LoopbackServer server;
  RecordingEvents events;  // its read handler leaves the bytes to their reader, as a link does
  platform::TcpClient client(events);
  client.SetPortNumber(server.Port());
  client.Activate();
  ASSERT_TRUE(client.AwaitConnected(5000));  // no event dispatched: the connect runs here
  ASSERT_TRUE(server.WaitForClient(5000));
  const std::string reply(3000, 'r');
  server.Send(reply);
  server.CloseClient();
  // The other thread's events come first: the data, then the close.
  PumpUntil(client, [&] { return events.Saw("read"); });
  for (int i = 0; i < 20; ++i) client.Pump(10);
  std::string got;
  while (got.size() < reply.size() && client.WaitReadable(2000)) {
    std::string batch = client.Fetch();
    if (batch.empty() && !client.IsConnected()) break;
    got += batch;
  }
  EXPECT_EQ(got, reply);
  while (client.IsConnected() && client.WaitReadable(2000)) client.Fetch();
  for (int i = 0; i < 10; ++i) client.Pump(5);  // a late connect notification does nothing
  EXPECT_EQ(events.events.front(), "connecting");
  EXPECT_EQ(std::count(events.events.begin(), events.events.end(), "connect"), 1);
  EXPECT_EQ(events.events.back(), "disconnect");
}

TEST(TcpClient, RefusedConnectionReportsItsErrorCodeAlone) {
  RecordingEvents events;
  platform::TcpClient client(events);
  client.SetPortNumber(test::LoopbackServer::UnusedPort());
  client.Activate();
  ASSERT_TRUE(PumpUntil(client, [&] { return events.events.size() >= 2; }));
  for (int i = 0; i < 10; ++i) client.Pump(5);
  EXPECT_EQ(events.events, (std::vector<std::string>{"connecting", "error 10061"}));
  EXPECT_FALSE(client.IsActive());
  EXPECT_TRUE(client.SetHost("localhost"));  // inactive again: settings may change
}

TEST(TcpClient, ResolvesLocalhostAndCanCloseItself) {
  test::LoopbackServer server;
  RecordingEvents events;
  platform::TcpClient client(events);
  client.SetHost("localhost");
  client.SetPortNumber(server.Port());
  client.Activate();
  ASSERT_TRUE(PumpUntil(client, [&] { return client.IsConnected(); }));
  client.Close();
  EXPECT_EQ(events.events, (std::vector<std::string>{"connecting", "connect", "disconnect"}));
  EXPECT_TRUE(client.WaitReadable(1000));  // closed: a fetch would learn so at once
}

TEST(TcpClient, ClientsGoneOrClosedWhileTheirLookupRunsHearNothingMore) {
  test::LoopbackServer server;
  RecordingEvents goneEvents, closedEvents, liveEvents;
  platform::TcpClient closed(closedEvents);
  platform::TcpClient live(liveEvents);
  {
    platform::TcpClient gone(goneEvents);
    for (platform::TcpClient* client : {&gone, &closed, &live}) {
      client->SetHost("localhost");
      client->SetPortNumber(server.Port());
      client->Activate();
    }
    closed.Close();
  }
  // The lookups answer meanwhile; only the live client's reaches it.
  ASSERT_TRUE(PumpUntil(live, [&] { return live.IsConnected(); }));
  live.Pump(200);
  EXPECT_EQ(goneEvents.events, (std::vector<std::string>{"connecting"}));
  EXPECT_EQ(closedEvents.events, (std::vector<std::string>{"connecting"}));
  EXPECT_FALSE(closed.IsActive());
  closed.Activate();  // a new lookup of its own
  EXPECT_TRUE(PumpUntil(closed, [&] { return closed.IsConnected(); }));
}

TEST(TcpClient, AReaderAndTheEventThreadRacingThroughTheSetupTakeEachStepOnce) {
  for (int round = 0; round < 10; ++round) {
    test::LoopbackServer server;
    RecordingEvents events;
    platform::TcpClient client(events);
    client.SetHost("localhost");  // a lookup to finish, then a connect
    client.SetPortNumber(server.Port());
    client.Activate();
    bool readerConnected = false;
    std::thread reader([&] { readerConnected = client.AwaitConnected(5000); });
    PumpUntil(client, [&] { return client.IsConnected(); });
    reader.join();
    for (int i = 0; i < 5; ++i) client.Pump(2);  // late news of either step does nothing
    EXPECT_TRUE(readerConnected) << "round " << round;
    EXPECT_EQ(events.events, (std::vector<std::string>{"connecting", "connect"})) << round;
  }
}

TEST(TcpClient, APeerCloseWithBytesUnreadWaitsForTheFetchThatMeetsTheEnd) {
  test::LoopbackServer server;
  RecordingEvents events;  // leaves the bytes to their reader
  platform::TcpClient client(events);
  client.SetPortNumber(server.Port());
  client.Activate();
  ASSERT_TRUE(PumpUntil(client, [&] { return client.IsConnected(); }));
  ASSERT_TRUE(server.WaitForClient(5000));
  server.Send(std::string(3000, 'r'));
  server.CloseClient();
  ASSERT_TRUE(PumpUntil(client, [&] { return events.Saw("read"); }));
  for (int i = 0; i < 20; ++i) client.Pump(10);  // the close's news comes meanwhile
  EXPECT_TRUE(client.IsConnected());
  std::string got;
  client.FetchAppend(got, 1000);  // stops short of the end: still connected
  EXPECT_EQ(got.size(), 1000u);
  EXPECT_TRUE(client.IsConnected());
  EXPECT_FALSE(events.Saw("disconnect"));
  client.FetchAppend(got, std::string::npos);  // meets the end: closes
  EXPECT_EQ(got, std::string(3000, 'r'));
  EXPECT_FALSE(client.IsConnected());
  for (int i = 0; i < 5; ++i) client.Pump(2);
  EXPECT_EQ(events.events.back(), "disconnect");
  EXPECT_EQ(std::count(events.events.begin(), events.events.end(), "disconnect"), 1);
  for (const auto& event : events.events) EXPECT_NE(event.rfind("error", 0), 0u) << event;
}

}  // namespace
}  // namespace korvane

// The plugin link's handlers and the remote fetch, over a scripted connection: what is
// sent, traced, stored and handed to the host for every kind of reply, and the faults a
// server can cause (silence, a closed link, texts in the way, hostile lengths).

#include "CacheTestFixture.h"
#include "HostileServer.h"
#include "ScriptedConnection.h"
#include "protocol/ClientMessages.h"

namespace korvane {
namespace {

using test::Bytes;
using test::PatternSector;

using test::RunReply;

std::string Sectors(uint32_t first, uint32_t count, size_t size) {
  std::string bytes;
  for (uint32_t lsn = first; lsn < first + count; ++lsn) {
    auto sector = PatternSector(lsn, size);
    bytes.append(sector.begin(), sector.end());
  }
  return bytes;
}

class RemoteFetchTest : public test::CacheTest {
 protected:
  RemoteFetchTest() {
    link_.Bind(connection_);
    fetcher_.SetLink(&link_);
    State().SelectedDiscName = "disc.iso";
  }
  std::string Text(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
  }

  // Fetches through fetcher as the remote source does on a miss: stores the run and serves
  // its first sector into the plugin's buffer. True when served.
  bool FetchThrough(RemoteDisc& fetcher, uint32_t lsn, int32_t mode) {
    paths_.Name(State().GamesFolder, State().SelectedDiscName);
    CacheStore store(Cache(), paths_);
    CachedSource remote(store, &fetcher);
    return remote.Fetch(lsn, mode, State().SectorBuffer) == ReadResult::kServed;
  }
  bool Fetch(uint32_t lsn, int32_t mode) { return FetchThrough(fetcher_, lsn, mode); }

  test::ScriptedConnection connection_;
  test::RecordedErrors errors_;
  ServerLink link_{plugin_->Tracer(), errors_};
  RemoteDisc fetcher_{plugin_->Tracer(), nullptr};
  RemoteCachePaths paths_;
};

TEST_F(RemoteFetchTest, LinkHandlersTraceAndAnswer) {
  link_.SetLogin({"ann", "pw", 0, ""});
  link_.OnConnecting();
  link_.OnConnect();
  int code = 10061;
  link_.OnError(code);
  EXPECT_EQ(code, 0);
  connection_.Script(Bytes({1, 0x48, 0x69, 0x0A, 6}));  // one text; the prompt in it is text
  link_.OnRead();
  connection_.Script(Bytes({6}));
  link_.OnRead();
  connection_.Script(Bytes({2, 0x2C}) + "17,D:\\g\\x.iso,y.bin,");
  link_.OnRead();
  connection_.Script(Bytes({4}) + "stray reply bytes");
  link_.OnRead();
  link_.OnDisconnect();
  EXPECT_EQ(trace_.Text(),
            "Client is trying to connect\r\nClient Connected sending login info\r\n"
            "ErrorCode:10061\r\nSrvMsg:Hi\n" +
                Bytes({6}) +
                "\r\n"
                "Disk Set to 0 on server you my now run\r\nFile:D:\\g\\x.iso\r\n"
                "File:y.bin\r\nClinet Disconnected\r\n");
  EXPECT_EQ(connection_.Sent(),
            (std::vector<std::string>{Bytes({1, 5}) + "ann,pw", Bytes({3, 0})}));
}

TEST_F(RemoteFetchTest, LinkStillWorksSilentlyAndReportsBadListsToTheUser) {
  State().DebugTrace = false;
  link_.SetLogin({"", "", 258, ""});
  link_.OnConnect();
  connection_.Script(Bytes({2, 0x2C}) + "6,a.is");  // a list over two batches is consumed
  connection_.Script("o,");
  link_.OnRead();
  link_.OnRead();
  connection_.Script(Bytes({6}));
  link_.OnRead();
  EXPECT_EQ(trace_.Text(), "");
  EXPECT_EQ(connection_.Sent().back(), Bytes({3, 2}));
  connection_.Script(Bytes({2, 0x2C}) + "six,");
  link_.OnRead();
  EXPECT_EQ(errors_.shown, std::vector<std::string>{"'six' is not a valid integer value"});
  ServerLink::Read read(link_);  // the read path owns the bytes meanwhile
  connection_.Script(Bytes({6}));
  link_.OnRead();
  EXPECT_EQ(connection_.Sent().size(), 2u);
}

TEST_F(RemoteFetchTest, CompressedRunIsStoredWholeAndServesTheRequest) {
  connection_.Script(RunReply(Sectors(100, 3, 2048)));
  ASSERT_TRUE(Fetch(100, kModeData2048));
  EXPECT_EQ(connection_.Sent(), std::vector<std::string>{Bytes({4, 3}) + "100"});
  EXPECT_EQ(ReadText("Games/disc.iso.map"), "100/3/0\r\n101/3/2048\r\n102/3/4096\r\n");
  EXPECT_EQ(Buffer(2048), PatternSector(100, 2048));
  EXPECT_EQ(trace_.Text().substr(0, 21), "Requested Mode:3  LSN");
  EXPECT_NE(trace_.Text().find("Compressed packet gotten LENGTH:"), std::string::npos);
  EXPECT_NE(trace_.Text().find(" Current Lsn:100 Mode:3\r\n"), std::string::npos);
  State().RemoteMode = true;
  ASSERT_EQ(plugin_->ReadTrack(102, kModeData2048), 0);  // a cache hit: nothing sent, no link
  EXPECT_EQ(Buffer(2048), PatternSector(102, 2048));
  EXPECT_EQ(connection_.Sent().size(), 1u);
}

TEST_F(RemoteFetchTest, RunWithAShortLastPieceStoresEveryPiece) {
  std::string payload = Sectors(7, 3, 2048).substr(0, 5000);
  connection_.Script(RunReply(payload));
  ASSERT_TRUE(Fetch(7, kModeData2048));
  EXPECT_EQ(ReadText("Games/disc.iso.map"), "7/3/0\r\n8/3/2048\r\n9/3/4096\r\n");
  EXPECT_EQ(ReadText("Games/disc.iso.Block"), payload);
}

// A run that a server starts near the top of the LSN range plants nothing under LSN 0.
TEST_F(RemoteFetchTest, RunThatWouldPassTheLastLsnIsCutThere) {
  connection_.Script(RunReply(Sectors(0, 4, 2048)));
  ASSERT_TRUE(Fetch(4294967294u, kModeData2048));
  EXPECT_EQ(ReadText("Games/disc.iso.map"), "-2/3/0\r\n-1/3/2048\r\n");
  EXPECT_EQ(ReadText("Games/disc.iso.Block").size(), 4096u);
  EXPECT_EQ(Cache().LookupCachedSector(0, kModeData2048), CacheIndex::kNone);
  connection_.Script(RunReply(Sectors(0, 2, 2048).substr(0, 3000)));  // a short last piece
  ASSERT_TRUE(Fetch(4294967295u, kModeRaw2352));
  EXPECT_EQ(Cache().Index().Count(), 3u);
  EXPECT_EQ(Cache().LookupCachedSector(0, kModeRaw2352), CacheIndex::kNone);
}

TEST_F(RemoteFetchTest, SingleSectorIsStoredUnderTheRequestedModeWithItsOwnSize) {
  auto sector = PatternSector(5, 2048);
  std::vector<uint8_t> marker(2352, 0xEE);
  State().SectorBuffer.Write(0, marker.data(), marker.size());
  connection_.Script(Bytes({4}) + Text(sector));  // 2048 bytes for a mode-0 request
  ASSERT_TRUE(Fetch(5, kModeRaw2352));
  EXPECT_EQ(Buffer(2048), sector);
  EXPECT_EQ(Buffer(2352)[2048], 0xEE);
  EXPECT_EQ(ReadText("Games/disc.iso.map"), "5/0/0\r\n");
  EXPECT_NE(trace_.Text().find("Size of Block Gotten returned: 2048\r\n"), std::string::npos);
  EXPECT_EQ(connection_.TimedOutWaits(), 1);  // it waited for more before ending short
}

TEST_F(RemoteFetchTest, FullSectorPassingThroughAShortSizeIsNotCut) {
  std::string reply = Bytes({4}) + Text(PatternSector(9, 2352));
  for (size_t cut : {size_t{2049}, size_t{2341}}) {
    test::ScriptedConnection connection;
    ServerLink link(plugin_->Tracer(), errors_);
    link.Bind(connection);
    RemoteDisc fetcher(plugin_->Tracer(), nullptr);
    fetcher.SetLink(&link);
    for (const std::string& part : test::SplitAt(reply, {cut})) connection.Script(part);
    ASSERT_TRUE(FetchThrough(fetcher, 9, kModeRaw2352));
    EXPECT_EQ(Buffer(2352), PatternSector(9, 2352)) << cut;
  }
}

TEST_F(RemoteFetchTest, RepliesSplitAtEveryByteStillArriveWhole) {
  std::string reply = RunReply(Sectors(0, 2, 2340));
  for (size_t cut = 1; cut < reply.size(); cut += 97) {
    test::ScriptedConnection connection;
    ServerLink link(plugin_->Tracer(), errors_);
    link.Bind(connection);
    RemoteDisc fetcher(plugin_->Tracer(), nullptr);
    fetcher.SetLink(&link);
    for (const std::string& part : test::SplitAt(reply, {1, cut})) connection.Script(part);
    ASSERT_TRUE(FetchThrough(fetcher, 0, kModeRaw2340)) << cut;
    auto raw = PatternSector(0, 2340);
    EXPECT_EQ(Buffer(2340), raw);
  }
}

TEST_F(RemoteFetchTest, MessagesInTheWayGoToTheLinkAndTheWaitGoesOn) {
  connection_.Script(Bytes({1}) + "Maintenance at noon\n" + Bytes({6}));
  connection_.Script(Bytes({2, 0x2C}) + "6,a.iso," + Bytes({1}) + "hi\n");
  connection_.Script(RunReply(Sectors(40, 2, 2048)) + Bytes({1}) + "after\n");
  ASSERT_TRUE(Fetch(40, kModeData2048));
  EXPECT_EQ(Buffer(2048), PatternSector(40, 2048));
  EXPECT_EQ(Cache().LookupCachedSector(41, kModeData2048), 2u);
  EXPECT_EQ(connection_.Sent().back(), Bytes({3, 0}));  // the prompt was answered
  const std::string& t = trace_.Text();
  EXPECT_NE(t.find("SrvMsg:Maintenance at noon\n\r\n"), std::string::npos);
  EXPECT_NE(t.find("File:a.iso\r\n"), std::string::npos);
  EXPECT_NE(t.find("SrvMsg:hi\n\r\n"), std::string::npos);
  EXPECT_NE(t.find("SrvMsg:after\n\r\n"), std::string::npos);
}

TEST_F(RemoteFetchTest, NoSectorMeansFailureAndAnUnchangedBuffer) {
  std::vector<uint8_t> before = Buffer(2352);
  connection_.Script(Bytes({0x07}) + "junk");
  EXPECT_FALSE(Fetch(1, kModeData2048));
  connection_.Script(Bytes({5}) + "12:not a zlib!!");
  EXPECT_FALSE(Fetch(1, kModeData2048));
  connection_.Script(RunReply(""));
  EXPECT_FALSE(Fetch(1, kModeData2048));
  connection_.Script(RunReply(std::string(40 << 20, '\0')));  // inflates past the bound
  EXPECT_FALSE(Fetch(1, kModeData2048));
  EXPECT_EQ(Buffer(2352), before);
  EXPECT_EQ(Cache().Index().Count(), 0u);
  const std::string& t = trace_.Text();
  EXPECT_NE(
      t.find(
          "KorvaneCDVD OutPut: Server sent no sector reply (first byte 0x07), LSN[1] not read\r\n"),
      std::string::npos);
  EXPECT_NE(t.find("KorvaneCDVD OutPut: Compressed run does not inflate, LSN[1] not read"),
            std::string::npos);
  EXPECT_NE(t.find("refused"), std::string::npos);
  EXPECT_NE(t.find("Compressed run holds no sector"), std::string::npos);
  EXPECT_TRUE(connection_.IsConnected());
}

TEST_F(RemoteFetchTest, RefusedLengthsCloseTheLinkBeforeTheirBodiesAreTakenForAReply) {
  // The body of what was refused goes on arriving; part of it looks like a sector reply.
  const std::string lookalike = Bytes({4}) + std::string(2048, 'x');
  const std::string refused[] = {Bytes({5}) + "999999999:", Bytes({2}) + ",2000000,",
                                 Bytes({5}) + "12x:"};
  uint32_t lsn = 1;
  for (const std::string& head : refused) {
    connection_.SetConnected(true);
    connection_.Script(head + std::string(100, 'z'));
    connection_.Script(lookalike);
    EXPECT_FALSE(Fetch(lsn++, kModeData2048)) << head;
    EXPECT_FALSE(connection_.IsConnected()) << head;
    EXPECT_FALSE(Fetch(lsn++, kModeData2048)) << head;
    while (!connection_.Fetch().empty()) {
    }
  }
  EXPECT_EQ(Cache().Index().Count(), 0u);
  const std::string& t = trace_.Text();
  EXPECT_NE(t.find("bytes refused (at most 33554432), link closed, LSN[1] not read"),
            std::string::npos);
  EXPECT_NE(t.find("bytes refused (at most 1048576), link closed, LSN[3] not read"),
            std::string::npos);
  EXPECT_NE(t.find("'12x' is not a valid integer value, link closed, LSN[5] not read"),
            std::string::npos)
      << t;
}

TEST_F(RemoteFetchTest, TheTailHasItsOwnRequestAndAnOlderServersTextFailsItAtOnce) {
  const std::string padded = Sectors(40, 1, 2048).substr(0, 700) + std::string(1348, '\0');
  connection_.Script(RunReply(padded));
  SectorRun run;
  ASSERT_TRUE(fetcher_.FetchTail(40, kModeData2048, run));
  EXPECT_EQ(connection_.Sent(), std::vector<std::string>{Bytes({8})});
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(run.bytes), run.length), padded);
  EXPECT_EQ(run.lsn, 40u);
  // A server that knows no tail request says so in a text and sends nothing more.
  connection_.Script(Bytes({1}) + "Ignored 1 bytes: unknown message kind\n");
  EXPECT_FALSE(fetcher_.FetchTail(40, kModeData2048, run));
  EXPECT_EQ(connection_.TimedOutWaits(), 0) << "no wait for a reply that never comes";
  EXPECT_TRUE(connection_.IsConnected());
  EXPECT_NE(trace_.Text().find("Server does not know the request, LSN[40] not read"),
            std::string::npos);
}

TEST_F(RemoteFetchTest, RunForAModeNoFileServesIsReceivedButNotUsed) {
  std::vector<uint8_t> before = Buffer(2352);
  connection_.Script(RunReply(Sectors(0, 1, 2352)));
  EXPECT_TRUE(Fetch(0, kMode2328));
  EXPECT_EQ(Buffer(2352), before);
  EXPECT_EQ(Cache().Index().Count(), 0u);
  EXPECT_NE(trace_.Text().find(" Mode:2\r\n"), std::string::npos);
}

TEST_F(RemoteFetchTest, SilentServerFailsTheReadAndClosesTheLink) {
  EXPECT_FALSE(Fetch(3, kModeData2048));
  EXPECT_FALSE(connection_.IsConnected());
  EXPECT_NE(
      trace_.Text().find("No reply from the server within 10000 ms, link closed, LSN[3] not read"),
      std::string::npos);
  size_t waits = connection_.Waits();
  EXPECT_FALSE(Fetch(4, kModeData2048));  // at once, nothing sent
  EXPECT_EQ(connection_.Waits(), static_cast<int>(waits));
  EXPECT_EQ(connection_.Sent().size(), 1u);
  EXPECT_NE(trace_.Text().find("Server link not connected, LSN[4] not read"), std::string::npos);
}

TEST_F(RemoteFetchTest, ServerThatClosesMidReplyFailsTheRead) {
  connection_.Script(RunReply(Sectors(0, 4, 2048)).substr(0, 30));
  connection_.CloseAfterScript();
  EXPECT_FALSE(Fetch(0, kModeData2048));
  EXPECT_EQ(Cache().Index().Count(), 0u);
  EXPECT_NE(trace_.Text().find("Server link closed while waiting for the reply"),
            std::string::npos);
}

TEST_F(RemoteFetchTest, SilentWhileDebugInfoIsOff) {
  State().DebugTrace = false;
  connection_.Script(RunReply(Sectors(0, 2, 2048)));
  ASSERT_TRUE(Fetch(0, kModeData2048));
  EXPECT_FALSE(Fetch(5, kModeData2048));
  EXPECT_EQ(trace_.Text(), "");
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

TEST_F(RemoteFetchTest, ReadCompletesALinkStillComingUpItself) {
  connection_.ConnectAfterPumps(3);
  connection_.Script(RunReply(Sectors(60, 1, 2048)));
  ASSERT_TRUE(Fetch(60, kModeData2048));
  EXPECT_GE(connection_.Pumps(), 3);
  EXPECT_EQ(Buffer(2048), PatternSector(60, 2048));
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

TEST_F(RemoteFetchTest, BodyReadInPlaceHandsWhatFollowsItToTheLink) {
  std::string reply = RunReply(Sectors(70, 3, 2048));
  connection_.Script(reply.substr(0, 40));  // the head and the start of the stream
  connection_.Script(reply.substr(40) +
                     "\x01"
                     "after\n" +
                     "\x06");
  ASSERT_TRUE(Fetch(70, kModeData2048));
  EXPECT_EQ(Buffer(2048), PatternSector(70, 2048));
  EXPECT_EQ(Cache().LookupCachedSector(72, kModeData2048), 3u);
  EXPECT_NE(trace_.Text().find("SrvMsg:after\n\r\n"), std::string::npos);
  EXPECT_EQ(connection_.Sent().back(), Bytes({3, 0}));  // the prompt after it was answered
}

}  // namespace
}  // namespace korvane

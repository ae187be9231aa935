// The server's log when its output is not drained (a pipe nobody reads): writing never holds
// up a line's writer, or a player, and what could not be written is counted; and a flood of
// connections that close before a login is summed up per address instead of filling it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ServerTestSupport.h"
#include "server/ServerLog.h"

namespace korvane::server::test {
namespace {

using Clock = std::chrono::steady_clock;

// A pipe whose write end is a FILE for a log, and whose read end is read only by Drain.
class UndrainedPipe final {
 public:
  UndrainedPipe() {
    int ends[2] = {-1, -1};
    if (::pipe(ends) == 0) {
      read_ = ends[0];
      out_ = ::fdopen(ends[1], "w");
    }
  }
  ~UndrainedPipe() {
    if (out_) std::fclose(out_);
    if (read_ >= 0) ::close(read_);
  }
  std::FILE* Out() const { return out_; }
  // Starts reading everything that comes until the write end is closed (CloseWriter).
  void Drain() {
    reader_ = std::thread([this] {
      char bytes[65536];
      for (ssize_t n; (n = ::read(read_, bytes, sizeof bytes)) > 0;) text_.append(bytes, n);
    });
  }
  // Closes the write end and returns all that was written.
  const std::string& CloseWriter() {
    std::fclose(out_);
    out_ = nullptr;
    reader_.join();
    return text_;
  }

 private:
  int read_ = -1;
  std::FILE* out_ = nullptr;
  std::thread reader_;
  std::string text_;
};

TEST(ServerLogTest, LinesThatFindTheQueueFullAreDroppedAndCountedNeverWaitedFor) {
  UndrainedPipe pipe;
  ASSERT_NE(pipe.Out(), nullptr);
  {
    ServerLog log(false, pipe.Out());
    const auto start = Clock::now();
    const size_t lines = 3 * ServerLog::kQueueLines;
    for (size_t i = 0; i < lines; ++i) log.Line("line " + std::to_string(i));
    EXPECT_LT(MillisecondsSince(start), 2000) << "a line waited for the output";
    pipe.Drain();
    log.Flush();
    log.Line("after the drain");
    log.Flush();
  }
  const std::string& text = pipe.CloseWriter();
  EXPECT_NE(text.find("line 0\n"), std::string::npos);
  const size_t dropped = text.find(" log lines dropped\n");
  ASSERT_NE(dropped, std::string::npos);
  const size_t numberStart = text.rfind(' ', dropped - 1) + 1;
  const size_t count = std::stoul(text.substr(numberStart, dropped - numberStart));
  // Every line is either written or counted dropped.
  EXPECT_EQ(Count(text, " line ") + count, 3 * ServerLog::kQueueLines);
  EXPECT_NE(text.find("after the drain\n"), std::string::npos);
}

TEST_F(ServerTest, AFloodOfConnectionsWithTheLogUndrainedHoldsUpNoPlayerAndIsSummedUp) {
  UndrainedPipe pipe;
  ASSERT_NE(pipe.Out(), nullptr);
  Start([&](ServerConfig& config) {
    config.quiet = false;
    config.logOutput = pipe.Out();
    config.messageGapMs = 1;
  });
  TestClient player(port_);
  ASSERT_TRUE(player.LogInTo(0));
  std::atomic<bool> flooding{true};
  std::atomic<int> made{0};
  std::vector<std::thread> flooders;
  for (int a = 0; a < 8; ++a) {
    flooders.emplace_back([&, a] {
      const std::string source = "127.0.0." + std::to_string(31 + a);
      // Paced a little, so that no connect waits out a full accept queue's SYN retries.
      while (flooding) {
        { TestClient knock(port_, source.c_str()); }
        ++made;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    });
  }
  long worst = 0;
  for (const auto start = Clock::now(); MillisecondsSince(start) < 2000;) {
    const auto asked = Clock::now();
    ASSERT_EQ(player.Request(3, 5).kind, 5) << "the player's read stalled";
    worst = std::max(worst, MillisecondsSince(asked));
  }
  flooding = false;
  for (std::thread& flooder : flooders) flooder.join();
  EXPECT_LT(worst, 1000);
  pipe.Drain();
  server_.reset();  // the log ends: the interval's summaries are written
  const std::string& text = pipe.CloseWriter();
  EXPECT_GT(made.load(), 500) << "no flood";
  EXPECT_NE(text.find("more connections from 127.0.0.31 closed before a login"), std::string::npos)
      << text.substr(0, 2000);
  // Two summary intervals at most, of at most kFullConnections connections in full each.
  EXPECT_LE(Count(text, "connected from"), 2 * ServerLog::kFullConnections + 1);
}

}  // namespace
}  // namespace korvane::server::test

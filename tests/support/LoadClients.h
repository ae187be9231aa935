// Clients that load the disc server program as the plugin does, shared by the load test and
// the load benchmarks (none needs GoogleTest for it): the program run as a child process
// (ServerProcess.h), a blocking connection from a chosen source address that reads whole
// server messages with bounded waits, and a player that logs in, chooses a disc and reads a
// range of it run after run, inflating and checking each. Many players run
// at once, one thread each, spread over loopback source addresses and released together so
// that every one of them asks while the others do.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "ServerProcess.h"
#include "protocol/ServerStream.h"

namespace korvane::load {

// One server message as the client reads it.
struct WireMessage {
  uint8_t kind = 0;  // protocol::kText, kDiscList, kSingleSector, kRun or kPrompt
  std::string body;  // text, disc list body, sector or the run's zlib stream
};

// The loopback address 127.0.0.0 + n ("127.0.0.2" for 2, "127.0.1.0" for 256).
std::string LoopbackAddress(uint32_t n);

// A blocking TCP connection to the server.
class WireConnection final {
 public:
  WireConnection() { stream_.SetRules(ServerStream::Rules::kRead); }
  ~WireConnection();
  WireConnection(const WireConnection&) = delete;
  WireConnection& operator=(const WireConnection&) = delete;

  // Connects to host:port (IPv4 dotted), from the local address source unless it is empty;
  // false when an address is bad or the connection is refused.
  bool Connect(uint16_t port, const std::string& host = "127.0.0.1",
               const std::string& source = {});
  // Closes the connection.
  void Close();
  // Sends bytes whole; false if the connection refuses them.
  bool Send(std::string_view bytes);
  // Reads the next message within timeoutMs; false with error on timeout, close or bytes
  // that are no server message.
  bool Read(WireMessage& message, int timeoutMs, std::string& error);

 private:
  bool Fill(int timeoutMs, std::string& error);
  bool Take(const ServerStream::Message& got, WireMessage& message, std::string& error);

  int fd_ = -1;
  ServerStream stream_;
};

// Logs in on connection and reads the greeting, the disc list and the prompt, then chooses
// disc; false with error (holding the server's last text) when one of the three does not
// come within timeoutMs.
bool LogInAndChoose(WireConnection& connection, std::string_view user, std::string_view password,
                    uint8_t disc, int timeoutMs, std::string& error);

// Inflates a run's zlib stream into out (replacing it); false unless it inflates whole.
bool InflateRun(std::string_view stream, std::string& out);

// What a player reads: count sectors of mode from first, on the disc at index disc.
struct PlayPlan {
  uint8_t disc = 0;
  uint8_t mode = 3;
  uint32_t first = 0;
  uint32_t count = 0;
  size_t sectorBytes = 2048;  // of mode
};

// True when bytes are the sectors plan's disc holds from lsn on, in plan's mode; called from
// every player's thread at once.
using SectorCheck =
    std::function<bool(const PlayPlan& plan, uint32_t lsn, const uint8_t* bytes, size_t size)>;

struct PlayResult {
  bool ok = false;
  std::string error;              // what went wrong, when not ok
  uint64_t sectors = 0;           // sectors received and found right
  uint32_t runs = 0;              // replies read
  double secondsToFirst = 0;      // from the release to the first run checked
  double seconds = 0;             // from the release to the last run checked (or the end)
  double longestWaitSeconds = 0;  // the longest wait for one reply
  // MB (10^6 bytes) per second of what was read, 0 when the player failed.
  double MegabytesPerSecond(size_t sectorBytes) const;
};

// The players of one load: one per plan, each on a thread of its own.
struct LoadOutcome {
  std::vector<PlayResult> results;
  double seconds = 0;  // from the release to the last player's end
  uint64_t bytes = 0;  // sector bytes received and found right, by every player
};

// Settings every player of a load shares.
struct LoadSettings {
  uint16_t port = 0;
  std::string host = "127.0.0.1";
  std::string user = "load";
  std::string password = "load";
  int replyTimeoutMs = 30000;  // a wait longer than this for one reply fails the player
  // Players connect from LoopbackAddress(firstSource) on, playersPerSource from each, so that
  // a server that caps the connections of one address takes them all; 0: the system picks
  // the source (as it must for a host that is not on loopback).
  int playersPerSource = 50;
  uint32_t firstSource = 2;
  // Above 0, each player reads its range over and over until this long after the release.
  double runSeconds = 0;
};

// Connects and logs in every player, releases them all at once and plays each plan to its
// end (or for runSeconds), checking every sector with check.
LoadOutcome PlayAll(const LoadSettings& settings, const std::vector<PlayPlan>& plans,
                    const SectorCheck& check);

}  // namespace korvane::load

// The measuring clients of the crowd benchmark, beside the load players: a timed login, a
// probe that asks for runs at random places of the disc and times each, a crowd of
// connections that log in and then say nothing, a flood of connections that never log in,
// and what /proc tells of the server's descriptors. Every client takes a server that refuses
// it in its stride: a refusal is counted, with the server's text, and never stops the bench.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "LoadClients.h"

namespace crowd {

using Clock = std::chrono::steady_clock;
using korvane::load::WireConnection;

// Milliseconds since start.
double MsSince(Clock::time_point start);

// The value at fraction (0.5: the median) of values by nearest rank; 0 when there is none.
double Percentile(std::vector<double> values, double fraction);

// The served disc image, mapped, against which every sector is checked (mode 3).
struct Image {
  const uint8_t* bytes = nullptr;
  uint32_t sectors = 0;
  // True when data[0, size) are the image's sectors from lsn on.
  bool Holds(uint32_t lsn, const uint8_t* data, size_t size) const;
};

// Where clients find the server.
struct Target {
  uint16_t port = 0;
  std::string host = "127.0.0.1";
};

// Times of one kind of probe over a span, and the probes that failed.
struct Samples {
  std::vector<double> ms;
  int failed = 0;
  std::string firstError;
  // Adds ms, or a failure for error when ms is negative.
  void Add(double ms, const std::string& error);
};

// How a login went: the time from sending it to the prompt, or why there was no prompt.
struct Login {
  bool ok = false;
  double promptMs = 0;
  std::string error;  // with the server's last text, when it sent one
};

// Logs in on connection and reads the greeting, disc list and prompt, each within
// timeoutMs; the disc is not chosen.
Login TimedLogin(WireConnection& connection, int timeoutMs);

// Connects to target from source (empty: the system's choice), then TimedLogin.
Login ConnectAndLogIn(WireConnection& connection, const Target& target, const std::string& source,
                      int timeoutMs);

// Asks connection (logged in, disc chosen) for the run at lsn in mode 3 and checks it
// against image; milliseconds to the whole run, or -1 with error.
double TimedRun(WireConnection& connection, const Image& image, uint32_t lsn, std::string& error);

// A client that asks for runs at random places, each far from the one before; it connects
// (again) from its source whenever it has no connection.
class SeekProbe final {
 public:
  SeekProbe(const Image& image, Target target, std::string source, uint32_t seed);
  // Milliseconds from asking for a far LSN to its whole run, checked; -1 with error when
  // connecting, logging in or the run fails.
  double Seek(std::string& error);
  // Closes its connection; the next Seek connects again.
  void Close();

 private:
  const Image& image_;
  Target target_;
  std::string source_;
  std::mt19937 random_;
  uint32_t last_ = 0;
  bool open_ = false;
  WireConnection connection_;
};

// The figures of one real client: connect, login to prompt, first sector, all of it.
struct FirstSector {
  double connectMs = -1, promptMs = -1, sectorMs = -1, totalMs = -1;
  std::string error;
};

// Connects from source, logs in, chooses the disc and reads the run at lsn, timing each step.
FirstSector TimedFirstSector(const Target& target, const std::string& source, const Image& image,
                             uint32_t lsn);

// Connections that logged in, chose the disc and say nothing more, and those refused.
struct IdleCrowd {
  std::vector<std::unique_ptr<WireConnection>> held;
  int refused = 0;
  std::string firstError;
};

// Opens count idle connections, perSource from each loopback source from
// LoopbackAddress(firstSource) on, logging many in at once.
IdleCrowd OpenIdleCrowd(const Target& target, int count, int perSource, uint32_t firstSource);

// What became of a flood's connections, seen from its end.
struct FloodTally {
  int made = 0;       // connections tried
  int unstarted = 0;  // whose connect could not start (out of descriptors or ports)
  int pending = 0;    // still connecting (the server's queue full, their SYN dropped)
  int failed = 0;     // never connected: refused or timed out
  int open = 0;       // connected and still open
  int closed = 0;     // connected, then closed or reset by the server
  int withText = 0;   // sent a server text before or without closing
  std::string text;   // the first such text
};

// Connections opened as fast as the system takes them, none of which ever logs in.
class Flood final {
 public:
  Flood() = default;
  // Closes every connection.
  ~Flood();
  Flood(const Flood&) = delete;
  Flood& operator=(const Flood&) = delete;

  // Starts count connects to 127.0.0.1:port from source without waiting for any, counting
  // each into started; stops early when the system refuses a socket.
  void Open(uint16_t port, const std::string& source, int count, std::atomic<int>& started);
  // Sorts the connections by what became of them so far.
  FloodTally Tally();
  // Closes every connection.
  void Close();

 private:
  std::vector<int> sockets_;
  int failedToStart_ = 0;
};

// Descriptors open in process pid; -1 when /proc does not tell.
int DescriptorCount(pid_t pid);

// Raises this process's descriptor limit toward wanted, as far as its hard limit lets it;
// returns the limit now.
long RaiseDescriptorLimit(long wanted);

// The first IPv4 address (and its interface) of an interface that is up and not loopback;
// both empty when there is none.
std::pair<std::string, std::string> NonLoopbackAddress();

}  // namespace crowd

// The three phases of the crowd benchmark (idle, crowd, flood), each against a fresh server
// program, and how they are sized. Each phase prints its own table as it ends.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CrowdProbes.h"

namespace crowd {

struct Options {
  std::string server;                   // the server program
  std::vector<std::string> serverArgs;  // passed on to it after the bench's own
  double seconds = 20;                  // how long the crowd reads
  double floodSeconds = 3;              // how long the flood stands
  int idle = 500;
  int level1Readers = 60;
  int level0Readers = 200;
  int flood = 5000;
  int samples = 100;  // logins and seeks timed on the idle server
  // The level-1 readers come from this machine's network address, and the server, open to
  // anyone, listens on every address while the bench runs; otherwise on loopback alone.
  bool networkReaders = false;
  // The address the server listens on.
  const char* Bind() const { return networkReaders ? "0.0.0.0" : "127.0.0.1"; }
};

// What the readers of one group did.
struct Readers {
  int count = 0, failed = 0;
  std::string firstError;
  uint64_t bytes = 0;
  double seconds = 0;
  // Their checked sector bytes, in MB per second.
  double MBs() const { return seconds > 0 ? bytes / 1e6 / seconds : 0; }
};

// The crowd's probes: a new connection's login every 200 ms and a seek every 100 ms, until
// Stop.
class Probing final {
 public:
  Probing(const Image& image, const Target& target);
  // Stops both probes.
  ~Probing();
  Probing(const Probing&) = delete;
  Probing& operator=(const Probing&) = delete;

  // Stops both probes and closes their connections.
  void Stop();

  Samples logins, seeks;

 private:
  std::atomic<bool> stop_{false};
  SeekProbe seek_;
  std::thread loginThread_, seekThread_;
};

// What the crowd phase saw.
struct CrowdFigures {
  size_t held = 0;  // idle connections held
  Readers level1, level0;
  Samples logins, seeks;
  long startKiB = 0, peakKiB = 0, restKiB = 0;
};

// What the flood phase saw.
struct FloodFigures {
  FloodTally tally;
  double openMs = 0;  // to start every connect
  int baseFds = 0, peakFds = 0, endFds = 0;
  long peakKiB = 0;
  std::vector<std::pair<double, FirstSector>> clients;  // seconds into the flood, figures
};

class Phases final {
 public:
  // Measures the program options.server serving folder, whose disc is image.
  Phases(Options options, std::string folder, Image image);

  // Runs the idle, crowd and flood phases in turn, printing each; false when a server could
  // not be started or did not exit cleanly (a crash among them).
  bool Run();

  const Image image;

 private:
  bool Launch(korvane::load::ServerProcess& server);
  void Finish(korvane::load::ServerProcess& server, const char* phase);
  double Idle();
  void Crowd(double aloneMBs);
  void ReadInCrowd(uint16_t port, const std::string& address, CrowdFigures& figures);
  void PrintCrowd(const CrowdFigures& figures, const IdleCrowd& idle, const std::string& farName,
                  double aloneMBs) const;
  void Flood();
  void PrintFlood(const FloodFigures& figures) const;

  Options options_;
  std::string folder_;
  bool ok_ = true;
};

}  // namespace crowd

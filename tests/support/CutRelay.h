// A relay on 127.0.0.1 between the plugin and the real disc server that can cut a sector
// reply at a chosen byte. The server's timing decides where its bytes fall into TCP
// segments, so a kill of the server alone lands at a different point of a reply on every
// run; the relay makes the point exact: it forwards the server's bytes up to the cut,
// holds back everything after it, and tells the test, which then kills the server (or
// lets it stall). When the server's side closes, the relay closes the plugin's side, as
// the kernel does for a process that dies.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "TestSockets.h"

namespace korvane::test {

class CutRelay final {
 public:
  // Listens for one client and relays it to the server at serverPort on 127.0.0.1. A
  // single-sector reply is taken as singleSectorBytes long: the size of the mode that the
  // plugin reads through the relay.
  CutRelay(int serverPort, size_t singleSectorBytes);
  ~CutRelay();
  CutRelay(const CutRelay&) = delete;
  CutRelay& operator=(const CutRelay&) = delete;

  int Port() const { return port_; }

  // Arms a cut in the next sector reply the server sends: the first fraction of its bytes
  // reach the plugin (0 forwards none; never the whole reply). Then onCut runs on the
  // relay's thread, and from there on nothing the server sends reaches the plugin.
  void CutNextReply(double fraction, std::function<void()> onCut);

  // True once the armed cut was made.
  bool CutMade() const { return cutMade_; }

  // When the server's side closes, the plugin's side is closed abortively (a reset).
  void ResetOnClose(bool reset) { resetOnClose_ = reset; }

  // True once the server's side has closed.
  bool ServerSideClosed() const { return serverClosed_; }

 private:
  void Run();
  void ForwardClientBytes();
  // Decides which of the server's bytes reach the plugin; appends them to out.
  void Filter(const char* data, size_t size, std::string& out, bool& cutNow);
  // Moves the stream's stage on by one byte; true when the byte belongs to a sector reply.
  bool Advance(unsigned char c);
  void StartReply(unsigned char kind);
  void EndRunHead();

  enum class Stage { kKind, kText, kListHead, kListBody, kRunHead, kReply };

  int serverPort_;
  size_t singleBytes_;
  int port_ = 0;
  sock::Socket listener_ = sock::kNoSocket;
  sock::Socket client_ = sock::kNoSocket;
  sock::Socket server_ = sock::kNoSocket;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> serverClosed_{false};
  std::atomic<bool> cutMade_{false};
  std::atomic<bool> resetOnClose_{false};
  std::thread thread_;

  // The cut, set by the test, read by the relay's thread.
  std::mutex lock_;
  bool armed_ = false;
  double fraction_ = 0;
  std::function<void()> onCut_;

  // Where the server's stream stands (relay thread only).
  Stage stage_ = Stage::kKind;
  std::string digits_;
  uint64_t remaining_ = 0;  // of a list body or a reply
  bool cutting_ = false;    // the reply under way is the armed one
  uint64_t replyTotal_ = 0;
  uint64_t replySeen_ = 0;
  uint64_t cutAt_ = 0;
  bool holding_ = false;
};

}  // namespace korvane::test

// A connection for unit tests: it hands out scripted batches one fetch at a time, records
// what is sent, and never waits (a wait with nothing scripted reports a timeout at once).
#pragma once

#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/Connection.h"

namespace korvane::test {

class ScriptedConnection final : public platform::Connection {
 public:
  // Bytes that the next fetches return, one batch per fetch.
  void Script(std::string batch) { batches_.push_back(std::move(batch)); }
  // The peer closes once the scripted batches are taken.
  void CloseAfterScript() { closeAfterScript_ = true; }
  void SetConnected(bool connected) { connected_ = connected; }

  const std::vector<std::string>& Sent() const { return sent_; }
  int Waits() const { return waits_; }
  int TimedOutWaits() const { return timedOutWaits_; }

  bool IsConnected() const override { return connected_; }
  bool IsActive() const override { return connected_ || connecting_; }
  void Pump(int) override {
    ++pumps_;
    if (connecting_ && pumps_ >= connectAfterPumps_) {
      connecting_ = false;
      connected_ = true;
    }
  }
  // The connection is being set up and comes up after pumps calls of Pump.
  void ConnectAfterPumps(int pumps) {
    connected_ = false;
    connecting_ = true;
    connectAfterPumps_ = pumps;
  }
  int Pumps() const { return pumps_; }
  bool AwaitConnected(int) override {
    while (connecting_) Pump(0);
    return connected_;
  }
  size_t Send(const std::string& message) override {
    if (!connected_) return 0;
    sent_.push_back(message);
    return message.size();
  }
  std::string Fetch() override {
    if (batches_.empty()) {
      if (closeAfterScript_) connected_ = false;
      return std::string();
    }
    std::string batch = std::move(batches_.front());
    batches_.pop_front();
    return batch;
  }
  // Takes at most limit bytes of the next scripted batch; the rest stays for later.
  void FetchAppend(std::string& out, size_t limit) override {
    if (batches_.empty() || batches_.front().size() <= limit) {
      out += Fetch();
      return;
    }
    out.append(batches_.front(), 0, limit);
    batches_.front().erase(0, limit);
  }
  bool WaitReadable(int) override {
    ++waits_;
    if (!batches_.empty() || closeAfterScript_ || !connected_) return true;
    ++timedOutWaits_;
    return false;
  }
  void Close() override { connected_ = false; }

 private:
  std::deque<std::string> batches_;
  std::vector<std::string> sent_;
  bool connected_ = true;
  bool connecting_ = false;
  int connectAfterPumps_ = 0;
  int pumps_ = 0;
  bool closeAfterScript_ = false;
  int waits_ = 0;
  int timedOutWaits_ = 0;
};

// The bytes of values, each taken as one byte.
inline std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// Splits bytes into batches at the given cut positions (ascending, inside the bytes).
inline std::vector<std::string> SplitAt(const std::string& bytes, const std::vector<size_t>& cuts) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t cut : cuts) {
    parts.push_back(bytes.substr(start, cut - start));
    start = cut;
  }
  parts.push_back(bytes.substr(start));
  return parts;
}

}  // namespace korvane::test

// The plugin's own connection to the disc server (PluginSocket): it logs in when it
// connects, traces the server's texts and disc lists, and answers each disc prompt with
// the selected disc. The read path sends its sector requests on the same connection and
// reads the replies itself; while it waits, the link's read handler leaves the incoming
// bytes alone, and whatever texts, lists and prompts the read path meets are handed here.
//
// Trace lines (gated, no prefix): "Client is trying to connect", "Client Connected sending
// login info", "Clinet Disconnected", "SrvMsg:<text>", "File:<name>", "Disk Set to <n> on
// server you my now run", "ErrorCode:<code>".
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "core/PluginState.h"
#include "core/Trace.h"
#include "core/UserErrors.h"
#include "platform/Connection.h"
#include "platform/TcpClient.h"

namespace korvane {

class PluginLink final : public platform::ConnectionEvents {
 public:
  PluginLink(PluginState& state, Trace& trace, UserErrorReporter& errors)
      : state_(state), trace_(trace), errors_(errors) {}

  // The connection whose events arrive here and on which the link sends.
  void Bind(platform::Connection& connection) { connection_ = &connection; }
  platform::Connection& Connection() { return *connection_; }

  void OnConnecting() override;
  void OnConnect() override;
  void OnDisconnect() override;
  void OnRead() override;
  void OnError(int& errorCode) override;

  // Traces a server text that the read path met.
  void RouteServerText(std::string_view text);
  // Traces the names of a disc list that the read path met.
  void RouteDiscNames(const std::vector<std::string>& names);
  // Answers a disc prompt: sends the selection for SelectedDiscIndex, then traces it.
  void AnswerPrompt();

  // Set while the read path waits for a reply: the read handler then leaves bytes alone.
  void SetFetchInProgress(bool busy) { fetchInProgress_ = busy; }

  // True from the connect event until the server's disc prompt is answered (logged in,
  // and the server knows which disc to serve), for at most kPromptWaitMs.
  bool AwaitingPrompt() const;

  // How long after connecting a read waits for the login to finish.
  static constexpr int kPromptWaitMs = 3000;

 private:
  void ReadDiscList(const std::string& batch);

  PluginState& state_;
  Trace& trace_;
  UserErrorReporter& errors_;
  platform::Connection* connection_ = nullptr;
  std::atomic<bool> fetchInProgress_{false};
  std::atomic<bool> awaitingPrompt_{false};
  std::chrono::steady_clock::time_point connectedAt_;
};

// A link with its TCP connection: what CDVDconfigure creates, inactive, for host
// "127.0.0.1" and port 35000.
struct PluginSocket final {
  PluginSocket(PluginState& state, Trace& trace, UserErrorReporter& errors)
      : link(state, trace, errors), client(link) {
    link.Bind(client);
  }
  PluginLink link;
  platform::TcpClient client;
};

}  // namespace korvane

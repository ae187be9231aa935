// The plugin link's event handlers.
#include "core/PluginLink.h"

#include "core/DialogBatchReader.h"
#include "core/WireProtocol.h"

namespace korvane {

void PluginLink::OnConnecting() {
  trace_.Gated("Client is trying to connect");
}

bool PluginLink::AwaitingPrompt() const {
  return awaitingPrompt_ &&
         std::chrono::steady_clock::now() - connectedAt_ < std::chrono::milliseconds(kPromptWaitMs);
}

void PluginLink::OnConnect() {
  connectedAt_ = std::chrono::steady_clock::now();
  awaitingPrompt_ = true;
  trace_.Gated("Client Connected sending login info");
  connection_->Send(wire::BuildLogin(state_.LoginUser, state_.LoginPassword));
}

void PluginLink::OnDisconnect() {
  trace_.Gated("Clinet Disconnected");
}

void PluginLink::OnError(int& errorCode) {
  if (trace_.Enabled()) trace_.Gated("ErrorCode:" + std::to_string(errorCode));
  errorCode = 0;
}

void PluginLink::OnRead() {
  if (fetchInProgress_ || !connection_) return;
  std::string batch = connection_->Fetch();
  if (batch.empty()) return;
  switch (batch[0]) {
    case wire::kText:
      RouteServerText(std::string_view(batch).substr(1));
      return;
    case wire::kDiscList:
      ReadDiscList(batch);
      return;
    case wire::kPrompt:
      AnswerPrompt();
      return;
    default:
      return;  // replies belong to the read path; anything else is dropped
  }
}

void PluginLink::ReadDiscList(const std::string& batch) {
  wire::DiscListReader reader;
  size_t used = 0;
  auto status = reader.Feed(batch, used);
  while (status == wire::DiscListReader::Status::kNeedMore) {
    if (!connection_->WaitReadable(kDiscListStallMs)) return;
    std::string more = connection_->Fetch();
    if (more.empty() && !connection_->IsConnected()) return;
    status = reader.Feed(more, used);
  }
  if (status == wire::DiscListReader::Status::kComplete) {
    RouteDiscNames(reader.Names());
  } else if (reader.LengthNotInteger()) {
    errors_.ShowError(reader.Error());
  } else {
    trace_.Gated(std::string(kTracePrefix) + reader.Error());
  }
}

void PluginLink::RouteServerText(std::string_view text) {
  if (trace_.Enabled()) trace_.Gated("SrvMsg:" + std::string(text));
}

void PluginLink::RouteDiscNames(const std::vector<std::string>& names) {
  if (!trace_.Enabled()) return;
  for (const std::string& name : names) trace_.Gated("File:" + name);
}

void PluginLink::AnswerPrompt() {
  connection_->Send(wire::BuildDiscSelection(state_.SelectedDiscIndex));
  awaitingPrompt_ = false;
  if (trace_.Enabled()) {
    trace_.Gated("Disk Set to " + std::to_string(state_.SelectedDiscIndex) +
                 " on server you my now run");
  }
}

}  // namespace korvane

// The plugin link's event handlers and its reads.
#include "core/PluginLink.h"

#include "core/WireProtocol.h"

namespace korvane {

void PluginLink::SetLogin(LinkLogin login) {
  std::lock_guard<std::mutex> hold(lock_);
  login_ = std::move(login);
}

void PluginLink::OnConnecting() {
  trace_.Gated("Client is trying to connect");
}

bool PluginLink::AwaitingPrompt() const {
  std::lock_guard<std::mutex> hold(lock_);
  return awaitingPrompt_ &&
         std::chrono::steady_clock::now() - connectedAt_ < std::chrono::milliseconds(kPromptWaitMs);
}

void PluginLink::OnConnect() {
  std::string login;
  {
    std::lock_guard<std::mutex> hold(lock_);
    connectedAt_ = std::chrono::steady_clock::now();
    awaitingPrompt_ = true;
    stream_.Drop();  // nothing of an earlier connection belongs to this one
    login = wire::BuildLogin(login_.user, login_.password);
  }
  trace_.Gated("Client Connected sending login info");
  connection_->Send(login);
}

void PluginLink::OnDisconnect() {
  trace_.Gated("Clinet Disconnected");
}

void PluginLink::OnError(int& errorCode) {
  if (trace_.Enabled()) trace_.Gated("ErrorCode:" + std::to_string(errorCode));
  errorCode = 0;
}

void PluginLink::OnRead() {
  std::vector<ServerStream::Message> messages;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (readOwned_ || !connection_) return;  // a read takes these bytes itself
    ReceiveLocked(messages);
  }
  using Kind = ServerStream::Kind;
  for (const ServerStream::Message& message : messages) {
    if (Route(message) || message.kind != Kind::kUnframed) continue;
    // Replies nobody asked for and bytes that start no message are dropped unseen.
    if (message.lengthNotInteger) {
      errors_.ShowError(message.text);
    } else {
      trace_.Gated(std::string(kTracePrefix) + message.text);
    }
  }
}

bool PluginLink::ReceiveLocked(std::vector<ServerStream::Message>& messages) {
  size_t limit = 0;
  std::string& intake = stream_.Intake(limit);
  size_t before = intake.size();
  connection_->FetchAppend(intake, limit);
  bool received = intake.size() > before;
  for (ServerStream::Message message = stream_.Next(); message.kind != ServerStream::Kind::kNothing;
       message = stream_.Next()) {
    messages.push_back(std::move(message));
  }
  return received || connection_->IsConnected();
}

bool PluginLink::Route(const ServerStream::Message& message) {
  switch (message.kind) {
    case ServerStream::Kind::kText:
      if (trace_.Enabled()) trace_.Gated("SrvMsg:" + message.text);
      return true;
    case ServerStream::Kind::kDiscList:
      if (trace_.Enabled()) {
        for (const std::string& name : message.names) trace_.Gated("File:" + name);
      }
      return true;
    case ServerStream::Kind::kPrompt:
      AnswerPrompt();
      return true;
    default:
      return false;
  }
}

void PluginLink::AnswerPrompt() {
  int32_t index;
  {
    std::lock_guard<std::mutex> hold(lock_);
    index = login_.discIndex;
    awaitingPrompt_ = false;
  }
  connection_->Send(wire::BuildDiscSelection(index));
  if (trace_.Enabled()) {
    trace_.Gated("Disk Set to " + std::to_string(index) + " on server you my now run");
  }
}

PluginLink::Read::Read(PluginLink& link) : link_(link) {
  std::lock_guard<std::mutex> hold(link_.lock_);
  link_.readOwned_ = true;
  link_.stream_.SetRules(ServerStream::Rules::kRead);
}

PluginLink::Read::~Read() {
  bool cutOff;
  {
    std::lock_guard<std::mutex> hold(link_.lock_);
    link_.readOwned_ = false;
    link_.stream_.SetRules(ServerStream::Rules::kLinkEvents);
    link_.stream_.StopAwaiting();
    cutOff = link_.stream_.InReply();
  }
  // A read given up inside its reply: the rest of that reply could not be told apart from
  // what follows it.
  if (cutOff) link_.connection_->Close();
}

void PluginLink::Read::AwaitReply(int32_t mode) {
  std::lock_guard<std::mutex> hold(link_.lock_);
  link_.stream_.AwaitReply(mode);
}

bool PluginLink::Read::Receive(std::vector<ServerStream::Message>& others) {
  std::vector<ServerStream::Message> messages;
  bool open;
  {
    std::lock_guard<std::mutex> hold(link_.lock_);
    open = link_.ReceiveLocked(messages);
  }
  for (ServerStream::Message& message : messages) {
    if (!link_.Route(message)) others.push_back(std::move(message));
  }
  return open;
}

}  // namespace korvane

// The plugin link's event handlers and its reads.
#include "core/link/ServerLink.h"

#include "core/base/DiscName.h"
#include "protocol/ClientMessages.h"

namespace korvane {

namespace {
std::atomic<uint64_t> linksMade{0};
}  // namespace

ServerLink::ServerLink(Trace& trace, UserErrorReporter& errors)
    : trace_(trace), errors_(errors), serial_(++linksMade) {}

void ServerLink::SetLogin(LinkLogin login) {
  std::lock_guard<std::mutex> hold(lock_);
  login_ = std::move(login);
  handedOver_ = true;
}

bool ServerLink::HandedOver() const {
  std::lock_guard<std::mutex> hold(lock_);
  return handedOver_;
}

LinkLogin ServerLink::Login() const {
  std::lock_guard<std::mutex> hold(lock_);
  return login_;
}

void ServerLink::PrepareConnectAgain(bool quiet) {
  std::lock_guard<std::mutex> hold(lock_);
  byName_ = true;
  quiet_ = quiet;
  // The connect event may run on the thread that owns the connection's events, after the
  // reader has seen the connection up: till then, nothing of the last one may count.
  ForgetConnectionLocked();
}

void ServerLink::ForgetConnectionLocked() {
  stream_.Drop();  // nothing of an earlier connection belongs to this one
  listedIndex_ = -1;
  listSeen_ = false;
  selection_ = Selection::kAwaiting;
  answeredIndex_ = -1;
  lastText_.clear();
}

ServerLink::Selection ServerLink::DiscSelection() const {
  std::lock_guard<std::mutex> hold(lock_);
  return selection_;
}

int32_t ServerLink::IndexFor(int32_t chosen) const {
  std::lock_guard<std::mutex> hold(lock_);
  return byName_ && selection_ == Selection::kSelected ? answeredIndex_ : chosen;
}

std::string ServerLink::LastServerText() const {
  std::lock_guard<std::mutex> hold(lock_);
  return lastText_;
}

bool ServerLink::LoginTurnedAway() const {
  std::lock_guard<std::mutex> hold(lock_);
  return !lastText_.empty() && !listSeen_;
}

std::chrono::steady_clock::time_point ServerLink::ConnectedAt() const {
  std::lock_guard<std::mutex> hold(lock_);
  return connectedAt_;
}

void ServerLink::Note(const std::string& line) {
  if (!quiet_) trace_.Gated(line);
}

void ServerLink::OnConnecting() {
  Note("Client is trying to connect");
}

bool ServerLink::AwaitingPrompt() const {
  std::lock_guard<std::mutex> hold(lock_);
  return awaitingPrompt_ &&
         std::chrono::steady_clock::now() - connectedAt_ < std::chrono::milliseconds(kPromptWaitMs);
}

void ServerLink::OnConnect() {
  std::string login;
  {
    std::lock_guard<std::mutex> hold(lock_);
    connectedAt_ = std::chrono::steady_clock::now();
    awaitingPrompt_ = true;
    ForgetConnectionLocked();
    login = wire::BuildLogin(login_.user, login_.password);
  }
  Note("Client Connected sending login info");
  connection_->Send(login);
}

void ServerLink::OnDisconnect() {
  Note("Clinet Disconnected");
}

void ServerLink::OnError(int& errorCode) {
  if (trace_.Enabled()) Note("ErrorCode:" + std::to_string(errorCode));
  errorCode = 0;
}

void ServerLink::OnRead() {
  std::vector<ServerStream::Message> messages;
  {
    std::lock_guard<std::mutex> hold(lock_);
    // A read takes these bytes itself; so do the reads that make the link again, until its
    // disc is named: one batch may carry the greeting and the list the name is found in.
    if (readOwned_ || !connection_ || (byName_ && selection_ == Selection::kAwaiting)) return;
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

bool ServerLink::ReceiveLocked(std::vector<ServerStream::Message>& messages) {
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

bool ServerLink::Route(const ServerStream::Message& message) {
  switch (message.kind) {
    case ServerStream::Kind::kText:
      NoteText(message.text);
      return true;
    case ServerStream::Kind::kDiscList:
      NoteList(message.names);
      if (trace_.Enabled()) {
        for (const std::string& name : message.names) Note("File:" + name);
      }
      return true;
    case ServerStream::Kind::kPrompt:
      AnswerPrompt();
      return true;
    default:
      return false;
  }
}

void ServerLink::NoteText(const std::string& text) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    lastText_ = text;
  }
  if (trace_.Enabled()) Note("SrvMsg:" + text);
}

void ServerLink::NoteList(const std::vector<std::string>& names) {
  std::lock_guard<std::mutex> hold(lock_);
  listSeen_ = true;
  listedIndex_ = -1;
  for (size_t i = 0; i < names.size(); ++i) {
    if (DiscFileName(names[i]) == login_.discName) {
      listedIndex_ = static_cast<int32_t>(i);
      break;
    }
  }
}

void ServerLink::AnswerPrompt() {
  int32_t index;
  {
    std::lock_guard<std::mutex> hold(lock_);
    awaitingPrompt_ = false;
    index = byName_ && !login_.discName.empty() ? listedIndex_ : login_.discIndex;
    // Another disc in its place would fill this disc's cache with that disc's sectors.
    selection_ = index < 0 ? Selection::kNotListed : Selection::kSelected;
    if (index < 0) return;
    answeredIndex_ = index;
  }
  connection_->Send(wire::BuildDiscSelection(index));
  if (trace_.Enabled()) {
    Note("Disk Set to " + std::to_string(index) + " on server you my now run");
  }
}

ServerLink::Read::Read(ServerLink& link) : link_(link) {
  std::lock_guard<std::mutex> hold(link_.lock_);
  link_.readOwned_ = true;
  link_.stream_.SetRules(ServerStream::Rules::kRead);
}

ServerLink::Read::~Read() {
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

void ServerLink::Read::AwaitReply(int32_t mode) {
  std::lock_guard<std::mutex> hold(link_.lock_);
  link_.stream_.AwaitReply(mode);
}

bool ServerLink::Read::Receive(std::vector<ServerStream::Message>& others) {
  std::vector<ServerStream::Message> messages;
  bool open;
  {
    std::lock_guard<std::mutex> hold(link_.lock_);
    open = link_.ReceiveLocked(messages);
  }
  for (ServerStream::Message& message : messages) {
    const bool routed = link_.Route(message);
    if (!routed || (keepTexts_ && message.kind == ServerStream::Kind::kText)) {
      others.push_back(std::move(message));
    }
  }
  return open;
}

}  // namespace korvane

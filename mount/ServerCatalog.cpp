// The catalogue's own short connection: connect, log in, list, ask the sizes, close.
#include "mount/ServerCatalog.h"

#include <chrono>
#include <set>

#include "core/base/DiscName.h"
#include "platform/TcpClient.h"
#include "protocol/ClientMessages.h"
#include "protocol/ServerStream.h"

namespace korvane::mount {

namespace {

using Clock = std::chrono::steady_clock;

// Events of a connection nobody pumps: only a transport error is kept.
class QuietEvents final : public platform::ConnectionEvents {
 public:
  void OnConnecting() override {}
  void OnConnect() override {}
  void OnDisconnect() override {}
  void OnRead() override {}
  void OnError(int& errorCode) override {
    error = errorCode;
    errorCode = 0;
  }
  int error = 0;
};

int MsLeft(Clock::time_point until) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// What the conversation learned so far.
struct Conversation {
  std::vector<std::string> names;
  bool listed = false;
  bool asked = false;
  std::string lastText;
  std::string sizesText;
  bool sized = false;
};

// Takes the messages received; sends the size query once the list is in.
void TakeMessages(ServerStream& stream, platform::TcpClient& client, Conversation& talk) {
  for (ServerStream::Message message = stream.Next();
       message.kind != ServerStream::Kind::kNothing; message = stream.Next()) {
    if (message.kind == ServerStream::Kind::kDiscList) {
      talk.names = std::move(message.names);
      talk.listed = true;
    } else if (message.kind == ServerStream::Kind::kText) {
      std::vector<wire::DiscSize> sizes;
      if (talk.asked && !talk.sized &&
          (wire::ParseDiscSizesText(message.text, sizes) || message.text.rfind("Ignored", 0) == 0)) {
        talk.sizesText = message.text;
        talk.sized = true;
      } else {
        talk.lastText = message.text;
      }
    }
  }
  if (talk.listed && !talk.asked) {
    client.Send(wire::BuildSizeQuery());
    talk.asked = true;
  }
}

std::string Where(const ServerLogin& login) {
  return login.host + ":" + std::to_string(login.port);
}

}  // namespace

bool FetchServerCatalog(const ServerLogin& login, int timeoutMs, std::vector<ListedDisc>& discs,
                        std::vector<std::string>& skipped, std::string& why) {
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  QuietEvents events;
  platform::TcpClient client(events);
  client.SetHost(login.host);
  client.SetPortNumber(login.port);
  client.Activate();
  if (!client.AwaitConnected(MsLeft(until))) {
    why = "cannot connect to " + Where(login) +
          (events.error ? " (" + platform::SocketErrorText(events.error) + ")" : "");
    return false;
  }
  client.Send(wire::BuildLogin(login.user, login.password));
  ServerStream stream;
  stream.SetRules(ServerStream::Rules::kRead);
  Conversation talk;
  while (!talk.sized && MsLeft(until) > 0) {
    if (!client.WaitReadable(MsLeft(until))) continue;
    size_t limit = 0;
    std::string& intake = stream.Intake(limit);
    const size_t before = intake.size();
    client.FetchAppend(intake, limit);
    const bool received = intake.size() > before;
    TakeMessages(stream, client, talk);
    if (!received && !client.IsConnected()) break;
  }
  client.Close();
  if (talk.sized) return NameListedDiscs(talk.names, talk.sizesText, discs, skipped, why);
  if (!talk.listed) {
    why = "the server at " + Where(login) + " did not let this login in" +
          (talk.lastText.empty() ? "" : ": " + talk.lastText);
  } else {
    why = "the server at " + Where(login) + " did not tell the discs' sizes in time";
  }
  return false;
}

bool NameListedDiscs(const std::vector<std::string>& names, const std::string& sizesText,
                     std::vector<ListedDisc>& discs, std::vector<std::string>& skipped,
                     std::string& why) {
  std::vector<wire::DiscSize> sizes;
  if (!wire::ParseDiscSizesText(sizesText, sizes)) {
    why = "the server does not tell its discs' sizes (an older korvane-server?): " + sizesText;
    return false;
  }
  if (sizes.size() != names.size()) {
    why = "the server told " + std::to_string(sizes.size()) + " sizes for " +
          std::to_string(names.size()) + " discs";
    return false;
  }
  std::set<std::string> taken;
  for (size_t index = 0; index < names.size(); ++index) {
    ListedDisc disc;
    disc.listedName = names[index];
    disc.discName = DiscFileName(names[index]);
    disc.fileName = SafeFileName(disc.discName);
    disc.index = static_cast<int32_t>(index);
    disc.bytes = sizes[index].bytes;
    disc.sectorSize = sizes[index].sectorSize;
    if (disc.fileName.empty() || disc.fileName == "." || disc.fileName == ".." ||
        (disc.sectorSize != 2048 && disc.sectorSize != 2352) ||
        !taken.insert(disc.fileName).second) {
      skipped.push_back(disc.listedName);
      continue;
    }
    discs.push_back(std::move(disc));
  }
  return true;
}

}  // namespace korvane::mount

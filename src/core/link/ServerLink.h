// A link to the disc server: the handlers of one connection, which log in when it
// connects, trace the server's texts and disc lists, and answer each disc prompt with the
// selected disc. The read path sends its sector requests on the same connection. The
// plugin's own link (PluginSocket, made by CDVDconfigure) is one; each disc the mount plays
// has one of its own.
//
// One stream parser (ServerStream) reads everything the server sends. Whoever receives
// feeds it, under the link's lock: the link's read handler on the thread that owns the
// connection's events, or a read of the read path on the reader's thread. The stream is
// handed to a read under the lock, and back when the read ends: while a read lives it
// owns the stream, the read handler leaves incoming bytes to it, and the read takes its
// reply from the stream without the lock, since nobody else touches it then. The texts,
// lists and prompts a read meets go to the handlers here on its thread. No lock is held
// while anyone waits on the network.
//
// Trace lines (gated, no prefix): "Client is trying to connect", "Client Connected sending
// login info", "Clinet Disconnected", "SrvMsg:<text>", "File:<name>", "Disk Set to <n> on
// server you my now run", "ErrorCode:<code>".
//
// Once handed over, the link may be connected again by the read path (LinkReconnector). A
// connection made again names its disc at the prompt by the disc's name, found in the list
// that connection received, since a server started anew may list its discs in another
// order; a disc no longer listed is not answered for at all. Until its disc is named, such
// a connection's bytes are left to the read path. Attempts after the first of an outage are
// quiet: their events write no trace lines.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/Trace.h"
#include "core/base/UserErrors.h"
#include "platform/Connection.h"
#include "platform/TcpClient.h"
#include "protocol/ServerStream.h"

namespace korvane {

// What the link logs in with, and the disc it names when the server asks for one: by its
// index in the list on the first connection, by its listed file name on a connection made
// again (by the index when no name was chosen).
struct LinkLogin {
  std::string user;
  std::string password;
  int32_t discIndex = 0;
  std::string discName;
};

class ServerLink final : public platform::ConnectionEvents {
 public:
  ServerLink(Trace& trace, UserErrorReporter& errors);

  // Tells this link from every other made in the process, even one made where it was.
  uint64_t Serial() const { return serial_; }

  // The connection whose events arrive here and on which the link sends.
  void Bind(platform::Connection& connection) { connection_ = &connection; }
  platform::Connection& Connection() { return *connection_; }

  // The login and disc used from now on, at the connect and at every prompt; the link is
  // handed over from then on.
  void SetLogin(LinkLogin login);
  // True once a login was set: the read path may connect the link again.
  bool HandedOver() const;
  // The login set last.
  LinkLogin Login() const;

  // The connections from now on are made again by the read path, quietly or not.
  void PrepareConnectAgain(bool quiet);
  // The connection stands as before the loss: its events are traced again.
  void EndQuiet() { quiet_ = false; }

  // How the current connection's disc stands.
  enum class Selection { kAwaiting, kSelected, kNotListed };
  Selection DiscSelection() const;
  // The index the current connection named its disc by at the prompt, or chosen when it
  // named none or was not made again.
  int32_t IndexFor(int32_t chosen) const;
  // The last server text of the current connection, "" when none came.
  std::string LastServerText() const;
  // True when the current connection got a text of the server's and no disc list: the
  // server turned its login away.
  bool LoginTurnedAway() const;

  void OnConnecting() override;
  void OnConnect() override;
  void OnDisconnect() override;
  void OnRead() override;
  void OnError(int& errorCode) override;

  // True from the connect event until the server's disc prompt is answered (logged in,
  // and the server knows which disc to serve), for at most kPromptWaitMs.
  bool AwaitingPrompt() const;
  // When the current connection was made.
  std::chrono::steady_clock::time_point ConnectedAt() const;

  // How long after connecting a read waits for the login to finish.
  static constexpr int kPromptWaitMs = 3000;

  // A read of the read path: the stream is its own from construction to destruction.
  class Read final {
   public:
    explicit Read(ServerLink& link);
    ~Read();
    Read(const Read&) = delete;
    Read& operator=(const Read&) = delete;

    // The next sector reply answers a request in mode.
    void AwaitReply(int32_t mode);
    // From now on the texts met are appended to others as well, once the link's handler
    // has had them: a server that does not know a request answers it with a text alone.
    void KeepTexts() { keepTexts_ = true; }
    // Receives what the connection holds now into the stream. Texts, lists and prompts go
    // to the link's handlers; the replies and refusals met are appended to others. False
    // when the connection has closed and nothing more came.
    bool Receive(std::vector<ServerStream::Message>& others);
    // The stream, for its reply and its short-sector grace.
    ServerStream& Stream() { return link_.stream_; }

   private:
    ServerLink& link_;
    bool keepTexts_ = false;
  };

 private:
  // Receives into the stream and takes its complete messages (lock held).
  bool ReceiveLocked(std::vector<ServerStream::Message>& messages);
  // Acts on a text, list or prompt; false for every other kind.
  bool Route(const ServerStream::Message& message);
  // Forgets what the connection before told (lock held).
  void ForgetConnectionLocked();
  // Keeps a server text as the connection's last and traces it.
  void NoteText(const std::string& text);
  // Notes where the chosen disc stands in a list just received.
  void NoteList(const std::vector<std::string>& names);
  void AnswerPrompt();
  // Writes a gated line unless the connection is quiet.
  void Note(const std::string& line);

  Trace& trace_;
  UserErrorReporter& errors_;
  const uint64_t serial_;
  platform::Connection* connection_ = nullptr;
  mutable std::mutex lock_;  // guards everything below
  ServerStream stream_;
  bool readOwned_ = false;
  LinkLogin login_;
  bool handedOver_ = false;
  bool awaitingPrompt_ = false;
  std::chrono::steady_clock::time_point connectedAt_;
  // Of the current connection: made again, and so naming its disc by name; the disc's
  // index in its last list (-1: not listed, or no list yet), and whether a list came; how
  // its disc stands; its last server text.
  bool byName_ = false;
  int32_t listedIndex_ = -1;
  bool listSeen_ = false;
  Selection selection_ = Selection::kAwaiting;
  int32_t answeredIndex_ = -1;
  std::string lastText_;
  std::atomic<bool> quiet_{false};
};

// A link with its TCP connection, made inactive, for host "127.0.0.1" and port 35000: the
// plugin's PluginSocket, as CDVDconfigure creates it, or a mounted disc's link.
struct ServerSocket final {
  ServerSocket(Trace& trace, UserErrorReporter& errors) : link(trace, errors), client(link) {
    link.Bind(client);
  }
  // Starts connecting; once connected the link logs in with login.
  void Activate(LinkLogin login) {
    link.SetLogin(std::move(login));
    client.Activate();
  }
  ServerLink link;
  platform::TcpClient client;
};

}  // namespace korvane

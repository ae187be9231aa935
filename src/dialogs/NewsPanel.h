// The news panel of the "Config" dialog: one page fetched from the news host over the
// panel's own connection WebSocket at every opening and on "Get News", shown as plain lines.
#pragma once

#include <string>

#include "dialogs/ConfigView.h"
#include "platform/TcpClient.h"

namespace korvane {

class NewsPanel final : public platform::ConnectionEvents {
 public:
  explicit NewsPanel(FormContext& form);
  ~NewsPanel() override;
  NewsPanel(const NewsPanel&) = delete;
  NewsPanel& operator=(const NewsPanel&) = delete;

  // "Get News": clears the news box and fetches the page again.
  void NewsButtonClick();
  // Fetches the news from another host and port than the build's (tests only).
  void SetNewsServer(const std::string& host, int port);
  // The panel's connection to the news host.
  platform::TcpClient& WebSocket() { return webSocket_; }

  // WebSocket's events: the request once connected, the page's lines as they come; its
  // errors are swallowed, as nothing shows them.
  void OnConnecting() override {}
  void OnConnect() override;
  void OnDisconnect() override {}
  void OnRead() override;
  void OnError(int& errorCode) override { errorCode = 0; }

 private:
  void WebSocketRead();

  FormContext& form_;
  platform::TcpClient webSocket_;
  std::string newsHost_ = kNewsHost;
};

}  // namespace korvane

// The remote disc panel of the "Config" dialog: its own connection Client to the disc
// server, the log Output, the server's disc list FileList, the address history, and the
// hand-over of the server to the plugin link when the dialog closes while connected.
#pragma once

#include <string>
#include <string_view>

#include "dialogs/ConfigView.h"
#include "dialogs/DialogBatchReader.h"
#include "platform/TcpClient.h"

namespace korvane {

class RemotePanel final : public platform::ConnectionEvents, private DialogBatchSink {
 public:
  explicit RemotePanel(FormContext& form);
  ~RemotePanel() override;
  RemotePanel(const RemotePanel&) = delete;
  RemotePanel& operator=(const RemotePanel&) = delete;

  // The panel's connection to the disc server.
  platform::TcpClient& Client() { return client_; }

  // "Connect" connects Client and turns remote mode on; "Disconnect" closes it and turns
  // remote mode off.
  void ConnectButtonClick();
  // Selects disc index of the server's list when connected; nothing otherwise.
  void FileListClick(int index);
  // "Close": the same as HandOverAndClose.
  void Button1Click();
  // When connected, activates the plugin link with the login and disc chosen here; then
  // closes Client.
  void HandOverAndClose();

  // Client's events (ClientConnecting ... ClientError).
  void OnConnecting() override;
  void OnConnect() override;
  void OnDisconnect() override;
  void OnRead() override;
  void OnError(int& errorCode) override;

 private:
  void RecordServerAddress();
  void AppendOutput(const std::string& line);
  void ShowCaption(const char* caption);
  void ClearFileList();

  // What the dialog's batch reader reports.
  void OnServerText(std::string_view text) override;
  void OnDiscName(const std::string& name) override;
  void OnDiscListEnd() override;
  void OnListError(const std::string& message) override;
  void OnListDropped(const std::string& why) override;

  FormContext& form_;
  ConfigControls& controls_;
  platform::TcpClient client_;
  DialogBatchReader clientReader_;
  std::string peerHost_;
  int peerPort_ = 0;
};

}  // namespace korvane

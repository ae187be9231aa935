// The remote disc panel of the "Config" dialog: its connection Client to the disc server,
// the log Output, the server's disc list FileList, and the hand-over of the server to the
// plugin link when the dialog closes while connected.
#include <exception>
#include <stdexcept>

#include "core/DiscName.h"
#include "core/WireProtocol.h"
#include "dialogs/ConfigForm.h"

namespace korvane {

namespace {
constexpr char kConnect[] = "Connect";
constexpr char kDisconnect[] = "Disconnect";
}  // namespace

void ConfigForm::ConnectButtonClick() {
  if (controls_.connectCaption == kConnect) {
    controls_.connectCaption = kDisconnect;
    view_.Refresh(ConfigControl::kConnectButton);
    peerHost_.clear();
    peerPort_ = 0;
    client_.Activate();
    plugin_.State().RemoteMode = true;
    RecordServerAddress();
    return;
  }
  controls_.connectCaption = kConnect;
  view_.Refresh(ConfigControl::kConnectButton);
  CloseClient();
  plugin_.State().RemoteMode = false;
}

void ConfigForm::CloseClient() {
  client_.Close();
}

void ConfigForm::FileListClick(int index) {
  if (!client_.IsConnected() || index < 0 ||
      static_cast<size_t>(index) >= controls_.fileList.size()) {
    return;
  }
  client_.Send(wire::BuildDiscSelection(index));
  plugin_.State().SelectedDiscIndex = index;
  plugin_.Choices().SetSelectedDiscName(
      DiscFileName(controls_.fileList[static_cast<size_t>(index)]));
}

void ConfigForm::Button1Click() {
  if (controls_.connectCaption == kDisconnect) HandOverToLink();
  CloseClient();
}

void ConfigForm::HandOverToLink() {
  DialogChoices::Texts chosen = plugin_.Choices().Latest();
  Link().Activate({chosen.LoginUser, chosen.LoginPassword, plugin_.State().SelectedDiscIndex});
}

void ConfigForm::OnConnecting() {
  AppendOutput("Trying to Connect");
}

void ConfigForm::OnConnect() {
  peerHost_ = client_.PeerHostName();
  peerPort_ = client_.PeerPort();
  AppendOutput("Client Connected to " + peerHost_ + ":" + std::to_string(peerPort_));
  controls_.fileList.clear();
  view_.Refresh(ConfigControl::kFileList);
  client_.Send(wire::BuildLogin(controls_.userText, controls_.passwordText));
}

void ConfigForm::OnDisconnect() {
  clientReader_.Closed(*this);
  AppendOutput("Client Disconnected to " + peerHost_ + ":" + std::to_string(peerPort_));
  controls_.connectCaption = kConnect;
  view_.Refresh(ConfigControl::kConnectButton);
  controls_.fileList.clear();
  view_.Refresh(ConfigControl::kFileList);
}

void ConfigForm::OnRead() {
  // Connection events run inside the connection's own window procedure: nothing may
  // escape from here, so an error goes to the user at once.
  try {
    clientReader_.Receive(client_, *this);
  } catch (const std::exception& error) {
    plugin_.UserErrors().ShowError(error.what());
  }
}

void ConfigForm::OnError(int& errorCode) {
  AppendOutput("ErrorCode:" + std::to_string(errorCode));
  controls_.connectCaption = kConnect;
  view_.Refresh(ConfigControl::kConnectButton);
  plugin_.State().RemoteMode = true;
  errorCode = 0;
}

void ConfigForm::OnServerText(std::string_view text) {
  AppendOutput("SrvMsg:" + std::string(text));
}

void ConfigForm::OnDiscName(const std::string& name) {
  controls_.fileList.push_back(name);
  view_.Refresh(ConfigControl::kFileList);
}

void ConfigForm::OnDiscListEnd() {
  AppendOutput("File List:" + std::to_string(controls_.fileList.size()));
}

void ConfigForm::OnListError(const std::string& message) {
  throw std::runtime_error(message);
}

void ConfigForm::OnListDropped(const std::string& why) {
  AppendOutput(why);
}

}  // namespace korvane

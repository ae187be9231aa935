// The remote disc panel: what each click and each event of its connection Client does to
// the controls and to the plugin's choices.
#include "dialogs/RemotePanel.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "core/base/DiscName.h"
#include "dialogs/SettingsFiles.h"
#include "protocol/ClientMessages.h"

namespace korvane {

namespace {
constexpr char kConnect[] = "Connect";
constexpr char kDisconnect[] = "Disconnect";
}  // namespace

RemotePanel::RemotePanel(FormContext& form)
    : form_(form), controls_(form.controls), client_(*this) {}

RemotePanel::~RemotePanel() = default;

void RemotePanel::ConnectButtonClick() {
  if (controls_.connectCaption == kConnect) {
    ShowCaption(kDisconnect);
    peerHost_.clear();
    peerPort_ = 0;
    client_.Activate();
    form_.plugin.ChangeSettings([](PluginSettings& s) { s.remoteMode = true; });
    RecordServerAddress();
    return;
  }
  ShowCaption(kConnect);
  client_.Close();
  form_.plugin.ChangeSettings([](PluginSettings& s) { s.remoteMode = false; });
}

void RemotePanel::FileListClick(int index) {
  if (!client_.IsConnected() || index < 0 ||
      static_cast<size_t>(index) >= controls_.fileList.size()) {
    return;
  }
  client_.Send(wire::BuildDiscSelection(index));
  const std::string name = DiscFileName(controls_.fileList[static_cast<size_t>(index)]);
  form_.plugin.ChangeSettings([&](PluginSettings& s) {
    s.selectedDiscIndex = index;
    s.selectedDiscName = name;
  });
}

void RemotePanel::Button1Click() {
  HandOverAndClose();
}

void RemotePanel::HandOverAndClose() {
  if (controls_.connectCaption == kDisconnect) {
    const PluginSettings chosen = form_.plugin.Settings();
    form_.Link().Activate({chosen.loginUser, chosen.loginPassword, chosen.selectedDiscIndex,
                           chosen.selectedDiscName});
  }
  client_.Close();
}

void RemotePanel::RecordServerAddress() {
  std::vector<std::string>& history = controls_.ipHistory;
  if (std::find(history.begin(), history.end(), controls_.ipText) != history.end()) return;
  history.push_back(controls_.ipText);
  form_.Show(ConfigControl::kIpHistory);
  WriteServerList(form_.settingsFolder, history);
}

void RemotePanel::AppendOutput(const std::string& line) {
  controls_.outputLines.push_back(line);
  form_.Show(ConfigControl::kOutput);
}

void RemotePanel::ShowCaption(const char* caption) {
  controls_.connectCaption = caption;
  form_.Show(ConfigControl::kConnectButton);
}

void RemotePanel::ClearFileList() {
  controls_.fileList.clear();
  form_.Show(ConfigControl::kFileList);
}

void RemotePanel::OnConnecting() {
  AppendOutput("Trying to Connect");
}

void RemotePanel::OnConnect() {
  peerHost_ = client_.PeerHostName();
  peerPort_ = client_.PeerPort();
  AppendOutput("Client Connected to " + peerHost_ + ":" + std::to_string(peerPort_));
  ClearFileList();
  client_.Send(wire::BuildLogin(controls_.userText, controls_.passwordText));
}

void RemotePanel::OnDisconnect() {
  clientReader_.Closed(*this);
  AppendOutput("Client Disconnected to " + peerHost_ + ":" + std::to_string(peerPort_));
  ShowCaption(kConnect);
  ClearFileList();
}

void RemotePanel::OnRead() {
  // Connection events run inside the connection's own window procedure: nothing may
  // escape from here, so an error goes to the user at once.
  try {
    clientReader_.Receive(client_, *this);
  } catch (const std::exception& error) {
    form_.plugin.UserErrors().ShowError(error.what());
  }
}

void RemotePanel::OnError(int& errorCode) {
  AppendOutput("ErrorCode:" + std::to_string(errorCode));
  ShowCaption(kConnect);
  form_.plugin.ChangeSettings([](PluginSettings& s) { s.remoteMode = true; });
  errorCode = 0;
}

void RemotePanel::OnServerText(std::string_view text) {
  AppendOutput("SrvMsg:" + std::string(text));
}

void RemotePanel::OnDiscName(const std::string& name) {
  controls_.fileList.push_back(name);
  form_.Show(ConfigControl::kFileList);
}

void RemotePanel::OnDiscListEnd() {
  AppendOutput("File List:" + std::to_string(controls_.fileList.size()));
}

void RemotePanel::OnListError(const std::string& message) {
  throw std::runtime_error(message);
}

void RemotePanel::OnListDropped(const std::string& why) {
  AppendOutput(why);
}

}  // namespace korvane

// The logic of the "Config" dialog, free of any window system: what each control holds, as
// plain data, and every handler of the dialog and of its remote disc panel. The Win32
// window shows ConfigControls and turns the user's input into the calls below; tests drive
// the same calls directly.
//
// Handlers report errors by throwing std::exception; the window shows what() in a message
// box and stays open. An exception from FormClose cancels that close; the next close goes
// through without running the close sequence again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/DialogBatchReader.h"
#include "core/Plugin.h"
#include "platform/TcpClient.h"

namespace korvane {

// What the dialog's controls hold.
struct ConfigControls {
  std::string ipText = "127.0.0.1";
  std::vector<std::string> ipHistory;  // the drop-down list of IPEdit
  std::string portText = "35000";
  std::string userText;
  std::string passwordText;
  std::string localFileText;
  std::string diskTypeText = "CDVD_TYPE_PS2CD";
  bool debugChecked = true;
  std::string connectCaption = "Connect";
  std::vector<std::string> outputLines;
  std::vector<std::string> fileList;
  std::vector<std::string> localCacheList;  // names of the caches in the list's folder
  int localCacheSelection = -1;             // the entry picked last, -1 for none
  int32_t cachePercent = 0;                 // position of the bar, 0 to 999999999
  std::vector<std::string> newsLines;       // the news box's lines
};

enum class ConfigControl {
  kIpEdit,
  kIpHistory,
  kPortEdit,
  kUserEdit,
  kPasswordEdit,
  kLocalFileEdit,
  kDiskTypeBox,
  kCheckBox1,
  kConnectButton,
  kOutput,
  kFileList,
  kLocalCacheList,
  kCachePercent,
  kNews,  // lines are appended or all cleared; the top of the news is brought into view
};

// The news host, a setting of the build: the news page is fetched from its port 80.
#ifndef KORVANE_NEWS_HOST
#define KORVANE_NEWS_HOST "localhost"
#endif
inline constexpr char kNewsHost[] = KORVANE_NEWS_HOST;
inline constexpr int kNewsPort = 80;
inline constexpr int32_t kCachePercentMax = 999999999;

// What the form needs of its window.
class ConfigView {
 public:
  virtual ~ConfigView() = default;
  // A control's data changed: the window shows it again (output lines are only appended).
  virtual void Refresh(ConfigControl control) = 0;
  // Runs the standard open-file dialog modally; the chosen file name, "" when cancelled.
  virtual std::string ChooseImageFile() = 0;
  // Shows the local cache list's popup menu with its corner at the mouse cursor; true
  // when its "Delete" was chosen.
  virtual bool PopupLocalFileMenu() = 0;
};

class ConfigForm final : public platform::ConnectionEvents, private DialogBatchSink {
 public:
  ConfigForm(Plugin& plugin, ConfigView& view);
  ~ConfigForm() override;

  const ConfigControls& Controls() const { return controls_; }
  platform::TcpClient& Client() { return client_; }

  // The dialog's own handlers.
  void FormCreate();
  // Hands the server over to the link when connected, closes Client and saves the settings;
  // throws when that fails, and then does nothing at the next call (the dialog may close).
  void FormClose();
  void StartupTimer();
  void Button2Click();

  // The user's input: typing or picking changes a control's text; each runs its change
  // handler when the text really changed.
  void UserChangesIpText(const std::string& text);
  void UserChangesPortText(const std::string& text);
  void UserChangesUserText(const std::string& text);
  void UserChangesPasswordText(const std::string& text);
  void UserChangesLocalFileText(const std::string& text);
  void UserChangesDiskTypeText(const std::string& text);
  void UserSetsDebugInfo(bool checked);

  // The remote disc panel.
  void ConnectButtonClick();
  void FileListClick(int index);
  void Button1Click();

  // The local cache panel.
  void LocalCacheListClick(int index);
  void LocalCacheListMouseDown(bool rightButton);
  void Delete1Click();

  // The news panel.
  void NewsButtonClick();
  // Fetches the news from another host and port than the build's (tests only).
  void SetNewsServer(const std::string& host, int port) {
    newsHost_ = host;
    webSocket_.SetHost(host);
    webSocket_.SetPortNumber(port);
  }
  platform::TcpClient& WebSocket() { return webSocket_; }

  // Client's events (the remote disc panel's ClientConnecting ... ClientError).
  void OnConnecting() override;
  void OnConnect() override;
  void OnDisconnect() override;
  void OnRead() override;
  void OnError(int& errorCode) override;

 private:
  void LoadSettings();
  void SaveSettings();
  void RecordServerAddress();
  void ApplySettingsField(size_t number, const std::string& value);
  void SetPortText(const std::string& text);
  void SetUserText(const std::string& text);
  void SetPasswordText(const std::string& text);
  void IPEditChange();
  void PortEditChange();
  void DiskTypeBoxChange();
  void SetHostOf(platform::TcpClient& connection, const std::string& host);
  void SetPortOf(platform::TcpClient& connection, int port);
  void CloseClient();
  // Activates the plugin link with the login and disc chosen here.
  void HandOverToLink();
  void AppendOutput(const std::string& line);
  PluginSocket& Link();
  void PointLocalCacheList(const std::string& folder);
  void ReadLocalCacheList();
  void WebSocketConnect();
  void WebSocketRead();

  // WebSocket's events, handed to the news panel's handlers.
  class NewsEvents final : public platform::ConnectionEvents {
   public:
    explicit NewsEvents(ConfigForm& form) : form_(form) {}
    void OnConnecting() override {}
    void OnConnect() override;
    void OnDisconnect() override {}
    void OnRead() override;
    void OnError(int& errorCode) override { errorCode = 0; }  // swallowed, as nothing shows

   private:
    ConfigForm& form_;
  };

  // What the dialog's batch reader reports.
  void OnServerText(std::string_view text) override;
  void OnDiscName(const std::string& name) override;
  void OnDiscListEnd() override;
  void OnListError(const std::string& message) override;
  void OnListDropped(const std::string& why) override;

  Plugin& plugin_;
  ConfigView& view_;
  ConfigControls controls_;
  platform::TcpClient client_;
  DialogBatchReader clientReader_;
  NewsEvents newsEvents_{*this};
  platform::TcpClient webSocket_;
  std::string settingsFolder_;
  std::string localCacheFolder_;
  std::string newsHost_ = kNewsHost;
  std::string peerHost_;
  int peerPort_ = 0;
  bool closeFailed_ = false;  // the last close sequence threw: the next close skips it
};

// The text of the conversion error of a port or length: "'text' is not a valid integer value".
int StrToInt(const std::string& text);

}  // namespace korvane

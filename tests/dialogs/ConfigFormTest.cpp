// The "Config" dialog's logic without a window: settings loaded and saved, the fields that
// steer the plugin, and the remote disc panel against the real disc server and a loopback
// server that sends what a test tells it to.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

#include "LocalPlay.h"
#include "LoopbackServer.h"
#include "TestSupport.h"
#include "dialogs/ConfigForm.h"
#include "dialogs/SettingsFiles.h"
#include "platform/FileSystem.h"
#include "server/DiscServer.h"

namespace korvane {
namespace {

class FakeView final : public ConfigView {
 public:
  void Refresh(ConfigControl control) override { refreshed.push_back(control); }
  std::string ChooseImageFile() override { return chosenFile; }
  bool PopupLocalFileMenu() override {
    ++menus;
    return chooseDelete;
  }

  std::vector<ConfigControl> refreshed;
  std::string chosenFile;
  int menus = 0;
  bool chooseDelete = false;
};

class ConfigFormTest : public ::testing::Test {
 protected:
  ConfigFormTest() : previous_(platform::GetWorkingDirectory()) {
    platform::SetWorkingDirectory(folder_.Path().string());
    plugin_->CreatePluginSocket();
  }
  ~ConfigFormTest() override {
    form_.reset();
    if (server_) server_->Stop();
    platform::SetWorkingDirectory(previous_);
  }
  void WriteSettings(const std::string& bytes, const char* name = "KorvaneCDVD.ini") {
    std::filesystem::create_directories(folder_.Path() / "Games");
    std::ofstream(folder_.Path() / "Games" / name, std::ios::binary) << bytes;
  }
  std::string ReadSettings(const char* name = "KorvaneCDVD.ini") {
    std::ifstream in(folder_.Path() / "Games" / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ConfigForm& Form() {
    if (!form_) {
      form_ = std::make_unique<ConfigForm>(*plugin_, view_);
      // No name lookup and nobody listening: the start-up's news fetch ends at once.
      form_->SetNewsServer("127.0.0.1", test::LoopbackServer::UnusedPort());
    }
    return *form_;
  }
  const ConfigControls& Controls() { return Form().Controls(); }
  // The plugin's state once what the dialog chose has reached it, as at any entry point.
  PluginState& State() {
    plugin_->ApplyChoices();
    return plugin_->State();
  }
  platform::TcpClient& Link() { return plugin_->CurrentPluginSocket()->client; }
  bool Logged(const std::string& line) {
    for (const auto& l : Controls().outputLines) {
      if (l == line) return true;
    }
    return false;
  }
  template <typename Done>
  bool PumpUntil(Done done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < end) {
      Form().Client().Pump(5);
      Link().Pump(5);
    }
    return done();
  }
  void StartServer() {
    std::filesystem::create_directory(folder_.Path() / "discs");
    folder_.MakeImage("discs/a.iso", 40, 2048);
    folder_.MakeImage("discs/b.bin", 40, 2352);
    server::ServerConfig config = test::LocalServerConfig((folder_.Path() / "discs").string());
    server_ = std::make_unique<server::DiscServer>(config);
    std::string error;
    ASSERT_TRUE(server_->Start(error)) << error;
  }
  void ConnectTo(int port) {
    Form().UserChangesPortText(std::to_string(port));
    Form().ConnectButtonClick();
  }

  test::ScratchFolder folder_;
  std::string previous_;
  test::CapturedTrace trace_;
  test::RecordedErrors errors_;
  std::unique_ptr<Plugin> plugin_ = std::make_unique<Plugin>(trace_, &errors_);
  FakeView view_;
  std::unique_ptr<ConfigForm> form_;
  std::unique_ptr<server::DiscServer> server_;
};

TEST_F(ConfigFormTest, FirstOpeningWritesTheDefaultsAndMovesIntoTheSettingsFolder) {
  Form().FormCreate();
  EXPECT_EQ(ReadSettings(), "127.0.0.1,35000,,,");
  EXPECT_EQ(Controls().ipText, "127.0.0.1");
  EXPECT_EQ(Controls().portText, "35000");
  EXPECT_EQ(std::filesystem::current_path(), folder_.Path() / "Games");
  EXPECT_TRUE(Form().WebSocket().IsActive() || !Form().WebSocket().IsConnected());
  Form().UserChangesUserText("ann");
  Form().FormClose();  // saved into the settings folder, which is now the working directory
  EXPECT_EQ(ReadSettings(), "127.0.0.1,35000,ann,,,");
}

TEST_F(ConfigFormTest, LoadedFieldsReachTheControlsTheLoginAndBothConnections) {
  WriteSettings("10.1.2.3,4000,ann,p w,D:\\g.iso,extra,more,");
  WriteSettings("a,,a,", "ServerList.ini");
  State().LoginUser = "old";
  Form().FormCreate();
  EXPECT_EQ(Controls().ipText, "10.1.2.3");
  EXPECT_EQ(Link().Host(), "10.1.2.3");
  EXPECT_EQ(Form().Client().Host(), "10.1.2.3");
  EXPECT_EQ(Link().Port(), 4000);
  EXPECT_EQ(Form().Client().Port(), 4000);
  EXPECT_EQ(State().LoginUser, "ann");
  EXPECT_EQ(State().LoginPassword, "p w");
  EXPECT_EQ(State().LocalImagePath, "D:\\g.iso");
  EXPECT_EQ(Controls().localFileText, "D:\\g.iso");
  EXPECT_EQ(Controls().ipHistory, (std::vector<std::string>{"a", "", "a"}));
}

TEST_F(ConfigFormTest, PortThatIsNoIntegerStopsTheLoadingWhereItIs) {
  WriteSettings("10.1.2.3,abc,ann,pw,x.iso,");
  WriteSettings("h,", "ServerList.ini");
  try {
    Form().FormCreate();
    FAIL() << "no error";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
  }
  EXPECT_EQ(Controls().ipText, "10.1.2.3");  // applied before the port
  EXPECT_EQ(Controls().userText, "");
  EXPECT_TRUE(Controls().ipHistory.empty());
  EXPECT_EQ(std::filesystem::current_path(), folder_.Path());  // the rest is skipped
}

TEST_F(ConfigFormTest, DefaultContentsApplyFourFieldsAndTheStartupShowsTheLocalFile) {
  WriteSettings("127.0.0.1,35000,,,");
  plugin_->ChangeSettings(
      [](PluginSettings& s) { s.localImagePath = "kept.iso"; });  // as an earlier dialog left it
  Form().FormCreate();
  EXPECT_EQ(State().LocalImagePath, "kept.iso");
  EXPECT_EQ(Controls().localFileText, "");
  Form().StartupTimer();
  EXPECT_EQ(Controls().localFileText, "kept.iso");
}

TEST_F(ConfigFormTest, FieldRulesForPortDiskTypeDebugInfoAndChooseFile) {
  Form().UserChangesPortText("35");
  EXPECT_EQ(Link().Port(), 35);
  EXPECT_THROW(Form().UserChangesPortText("35x"), std::runtime_error);
  EXPECT_EQ(Link().Port(), 35);
  EXPECT_EQ(Form().Client().Port(), 35);
  Form().UserChangesPortText("");  // emptied: neither connection changes
  EXPECT_EQ(Link().Port(), 35);
  Form().UserChangesIpText("");
  EXPECT_EQ(Link().Host(), "127.0.0.1");

  for (const char* text : {"C", "CDVD_TYPE_PS2C", "cdvd_type_ps2cd", "CDVD_TYPE_PS2DVD"}) {
    Form().UserChangesDiskTypeText(text);
    EXPECT_EQ(State().DiskType, 20) << text;
  }
  Form().UserChangesDiskTypeText("CDVD_TYPE_PS2CD");
  EXPECT_EQ(State().DiskType, 18);
  Form().UserSetsDebugInfo(false);
  EXPECT_FALSE(State().DebugTrace);

  view_.chosenFile = "";
  plugin_->ChangeSettings([](PluginSettings& s) { s.imageFileChooser = "earlier.iso"; });
  ASSERT_EQ(State().ImageFileChooser, "earlier.iso");
  Form().Button2Click();  // cancelled: a new, empty chooser; nothing else changes
  EXPECT_EQ(State().ImageFileChooser, "");
  EXPECT_EQ(State().LocalImagePath, "");
  view_.chosenFile = "E:\\disc.bin";
  Form().Button2Click();
  EXPECT_EQ(State().LocalImagePath, "E:\\disc.bin");
  EXPECT_EQ(State().ImageFileChooser, "E:\\disc.bin");

  // A second opening starts from the initial texts; the plugin keeps what was set.
  form_.reset();
  EXPECT_TRUE(Controls().debugChecked);
  EXPECT_EQ(Controls().diskTypeText, "CDVD_TYPE_PS2CD");
  EXPECT_FALSE(State().DebugTrace);
}

TEST_F(ConfigFormTest, ConnectListPickAndHandTheServerToThePluginLink) {
  StartServer();
  Form().FormCreate();
  Form().UserChangesUserText("ann");
  ConnectTo(server_->Port());
  EXPECT_EQ(Controls().connectCaption, "Disconnect");
  EXPECT_TRUE(State().RemoteMode);
  ASSERT_TRUE(PumpUntil([&] { return Logged("File List:2"); }));
  EXPECT_EQ(Controls().outputLines[0], "Trying to Connect");
  std::string connected = Controls().outputLines[1];
  EXPECT_EQ(connected.rfind("Client Connected to ", 0), 0u);
  EXPECT_EQ(connected.substr(connected.rfind(':')), ":" + std::to_string(server_->Port()));
  EXPECT_EQ(Controls().outputLines[2].rfind("SrvMsg:", 0), 0u);
  EXPECT_EQ(Controls().fileList, (std::vector<std::string>{"a.iso", "b.bin"}));
  EXPECT_EQ(ReadSettings("ServerList.ini"), "127.0.0.1,");

  Form().FileListClick(1);
  EXPECT_EQ(State().SelectedDiscIndex, 1);
  EXPECT_EQ(State().SelectedDiscName, "b.bin");
  Form().Button1Click();  // hands over, then Client closes
  EXPECT_EQ(Controls().connectCaption, "Connect");
  EXPECT_EQ(Controls().outputLines.back().rfind("Client Disconnected to ", 0), 0u);
  EXPECT_TRUE(Controls().fileList.empty());
  Form().FormClose();  // the link is not activated a second time
  EXPECT_TRUE(State().RemoteMode);
  ASSERT_TRUE(PumpUntil([&] { return trace_.Text().find("you my now run") != std::string::npos; }));
  EXPECT_EQ(ReadSettings(), "127.0.0.1," + std::to_string(server_->Port()) + ",ann,,,");

  plugin_->Open();  // the plugin now plays disc b from the server
  ASSERT_EQ(plugin_->ReadTrack(3, 0), 0);
  EXPECT_EQ(std::vector<uint8_t>(State().SectorBuffer.Data(), State().SectorBuffer.Data() + 2352),
            test::PatternSector(3, 2352));
}

TEST_F(ConfigFormTest, ClosingWhileConnectedHandsOverAndAddressChangesAreRefused) {
  StartServer();
  Form().FormCreate();
  ConnectTo(server_->Port());
  ASSERT_TRUE(PumpUntil([&] { return Form().Client().IsConnected(); }));
  try {
    Form().UserChangesIpText("localhost");
    FAIL() << "no error";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Can't change value while socket is active");
  }
  EXPECT_EQ(Link().Host(), "localhost");  // the link, never connected meanwhile, took it
  Form().UserChangesIpText("127.0.0.1");
  ConnectTo(server_->Port());  // "Disconnect": closes, RemoteMode off
  EXPECT_FALSE(State().RemoteMode);
  ConnectTo(server_->Port());  // the same address again: the history is written once
  EXPECT_EQ(ReadSettings("ServerList.ini"), "127.0.0.1,");
  ASSERT_TRUE(PumpUntil([&] { return Form().Client().IsConnected(); }));
  Form().FormClose();  // the close box: hand-over, Client closes, settings saved
  EXPECT_TRUE(Link().IsActive());
  EXPECT_EQ(Controls().outputLines.back().rfind("Client Disconnected to ", 0), 0u);
}

TEST_F(ConfigFormTest, RefusedConnectionLeavesRemoteModeOn) {
  Form().FormCreate();
  ConnectTo(test::LoopbackServer::UnusedPort());
  ASSERT_TRUE(PumpUntil([&] { return Logged("ErrorCode:10061"); }));
  EXPECT_EQ(Controls().outputLines,
            (std::vector<std::string>{"Trying to Connect", "ErrorCode:10061"}));
  EXPECT_EQ(Controls().connectCaption, "Connect");
  EXPECT_TRUE(State().RemoteMode);
}

TEST_F(ConfigFormTest, TextsListsAndBadListsFromAScriptedServer) {
  test::LoopbackServer server;
  Form().FormCreate();
  ConnectTo(server.Port());
  ASSERT_TRUE(PumpUntil([&] { return Form().Client().IsConnected(); }));
  ASSERT_TRUE(server.WaitForClient(5000));
  server.Send("\x01Hi\n\x02,6,x.iso,");
  ASSERT_TRUE(PumpUntil([&] { return Logged("File List:1"); }));
  server.Send("\x02,16,D:\\discs\\,y.bin,");  // a second list in one connection
  ASSERT_TRUE(PumpUntil([&] { return Logged("File List:3"); }));
  EXPECT_TRUE(Logged("SrvMsg:Hi\n"));
  EXPECT_EQ(Controls().fileList, (std::vector<std::string>{"x.iso", "D:\\discs\\", "y.bin"}));
  Form().FileListClick(1);  // a name ending in a backslash
  EXPECT_EQ(State().SelectedDiscName, "");
  Form().FileListClick(9);  // no such entry: nothing
  EXPECT_EQ(State().SelectedDiscIndex, 1);
  server.Send("\x02,zz,");
  ASSERT_TRUE(PumpUntil([&] { return !errors_.shown.empty(); }));
  EXPECT_EQ(errors_.shown[0], "'zz' is not a valid integer value");
  server.Send("\x06\x07");  // the prompt comes back as the echo
  auto endsWithEcho = [&] {
    std::string received = server.Received(0, 0);
    return received.size() >= 2 && received.compare(received.size() - 2, 2, "\x06\x07") == 0;
  };
  EXPECT_TRUE(PumpUntil(endsWithEcho));
}

TEST_F(ConfigFormTest, SettingsThatCannotBeSavedCancelTheClose) {
  Form().FormCreate();
  std::filesystem::remove(folder_.Path() / "Games" / "KorvaneCDVD.ini");
  std::filesystem::create_directory(folder_.Path() / "Games" / "KorvaneCDVD.ini");
  EXPECT_THROW(Form().FormClose(), IoError);
  EXPECT_NO_THROW(Form().FormClose());  // the next close lets the dialog go
}

}  // namespace
}  // namespace korvane

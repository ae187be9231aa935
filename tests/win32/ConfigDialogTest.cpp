// The plugin's "Config" dialog under Wine, opened through CDVDconfigure as a host opens it
// and driven by control id as a user drives it: the window and its controls, the settings
// it loads and saves, the errors it shows, and what it hands to the plugin, which then
// plays a disc from the real disc server, from a local image and from the server's cache.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "LocalPlay.h"
#include "DialogDriver.h"
#include "dialogs/ConfigControlIds.h"
#include "platform/FileSystem.h"
#include "server/DiscServer.h"

namespace korvane {
namespace {

using test::ConfigDialog;
using test::ReadWholeFile;
using Texts = std::vector<std::string>;

constexpr uint32_t kIsoSectors = 400;
constexpr uint32_t kRawSectors = 300;

class ConfigDialogTest : public ::testing::Test {
 protected:
  ConfigDialogTest() : previous_(platform::GetWorkingDirectory()) {
    platform::SetWorkingDirectory(folder_.Path().string());
    scratch_ = platform::GetWorkingDirectory();
  }
  ~ConfigDialogTest() override {
    dll_.reset();
    if (server_) server_->Stop();
    platform::SetWorkingDirectory(previous_);
  }
  void SetUp() override {
    ASSERT_NE(dll_->module, nullptr) << "KorvaneCDVD.dll did not load";
    ASSERT_NE(dll_->configure, nullptr);
  }

  void Configure(const std::function<void(ConfigDialog&)>& script) {
    test::RunConfigure(dll_->configure, script);
  }
  std::string GamesFile(const std::string& name) const { return folder_.PathOf("Games\\" + name); }
  void WriteSettings(const std::string& fields) {
    std::filesystem::create_directory(folder_.Path() / "Games");
    test::WriteWholeFile(GamesFile("KorvaneCDVD.ini"), fields);
  }
  void StartServer() {
    std::filesystem::create_directory(folder_.Path() / "discs");
    folder_.MakeImage("discs\\a.iso", kIsoSectors, 2048);
    folder_.MakeImage("discs\\b.bin", kRawSectors, 2352);
    server::ServerConfig config = test::LocalServerConfig(folder_.PathOf("discs"));
    server_ = std::make_unique<server::DiscServer>(config);
    std::string error;
    ASSERT_TRUE(server_->Start(error)) << error;
  }
  // Reads sectors 0 .. count - 1 through the exports, last first when backwards, and
  // compares each with the generated image.
  void ExpectDisc(uint32_t count, size_t sectorSize, int32_t mode, bool backwards = false) {
    ASSERT_EQ(dll_->open(), 0);
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t lsn = backwards ? count - 1 - i : i;
      ASSERT_EQ(dll_->readTrack(lsn, mode), 0) << "lsn " << lsn << "\n" << trace_.Text();
      const uint8_t* buffer = dll_->getBuffer();
      ASSERT_NE(buffer, nullptr);
      std::vector<uint8_t> expected = test::PatternSector(lsn, sectorSize);
      ASSERT_EQ(std::memcmp(buffer, expected.data(), sectorSize), 0) << "lsn " << lsn;
    }
    dll_->close();
  }
  static bool Checked(ConfigDialog& dialog) {
    return ::SendMessageA(dialog.Control(IDC_CHECKBOX1), BM_GETCHECK, 0, 0) == BST_CHECKED;
  }

  test::ScratchFolder folder_;
  std::string previous_;
  std::string scratch_;
  std::unique_ptr<server::DiscServer> server_;
  test::CapturedStdout trace_{folder_.PathOf("trace.txt")};
  std::unique_ptr<test::PluginDll> dll_ = std::make_unique<test::PluginDll>();
};

TEST_F(ConfigDialogTest, OpensWithItsLayoutAndDefaultsOnTheNewsPage) {
  std::string settingsWhileOpen;
  Configure([&](ConfigDialog& dialog) {
    HWND window = dialog.Window();
    test::ExpectFixedWindow(window, 667, 454, 273, 103);
    const std::pair<int, const char*> texts[] = {{IDC_LABEL1, "Server IP"},
                                                 {IDC_LABEL2, "Port"},
                                                 {IDC_LABEL4, "Username:"},
                                                 {IDC_LABEL5, "Password"},
                                                 {IDC_LABEL7, "DiskType"},
                                                 {IDC_LABEL3, "Local File"},
                                                 {IDC_OUTPUT, ""},
                                                 {IDC_IPEDIT, "127.0.0.1"},
                                                 {IDC_PORTEDIT, "35000"},
                                                 {IDC_CONNECTBUTTON, "Connect"},
                                                 {IDC_BUTTON1, "Close"},
                                                 {IDC_USEREDIT, ""},
                                                 {IDC_PASSWORDEDIT, ""},
                                                 {IDC_DISKTYPEBOX, "CDVD_TYPE_PS2CD"},
                                                 {IDC_CHECKBOX1, "Debug Info"},
                                                 {IDC_LOCALFILEEDIT, ""},
                                                 {IDC_BUTTON2, "Choose File"},
                                                 {IDC_NEWSBUTTON, "Get News"}};
    for (const auto& [id, text] : texts) {
      ASSERT_NE(dialog.Control(id), nullptr) << id;
      EXPECT_EQ(dialog.Text(id), text) << id;
    }
    EXPECT_TRUE(Checked(dialog));
    EXPECT_EQ(dialog.Entries(IDC_DISKTYPEBOX), (Texts{"CDVD_TYPE_PS2CD", "CDVD_TYPE_PS2DVD"}));
    EXPECT_EQ(::SendMessageA(dialog.Control(IDC_PASSWORDEDIT), EM_GETPASSWORDCHAR, 0, 0), '*');
    // Keyboard order: the numbered controls, then the open page's, then the tabs.
    const int order[] = {IDC_BUTTON1,       IDC_OUTPUT,      IDC_USEREDIT,      IDC_PASSWORDEDIT,
                         IDC_CONNECTBUTTON, IDC_PORTEDIT,    IDC_LOCALFILEEDIT, IDC_BUTTON2,
                         IDC_CHECKBOX1,     IDC_DISKTYPEBOX, IDC_IPEDIT,        IDC_NEWS,
                         IDC_NEWSBUTTON,    IDC_MAINCONTROL, IDC_BUTTON1};
    for (size_t i = 0; i + 1 < std::size(order); ++i) {
      HWND next = ::GetNextDlgTabItem(window, dialog.Control(order[i]), FALSE);
      EXPECT_EQ(::GetDlgCtrlID(next), order[i + 1]) << "after " << order[i];
    }
    HWND tabs = dialog.Control(IDC_MAINCONTROL);
    EXPECT_EQ(::SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0), 3);
    EXPECT_EQ(::SendMessageA(tabs, TCM_GETCURSEL, 0, 0), 2);
    EXPECT_TRUE(::IsWindowVisible(dialog.Control(IDC_NEWS)));
    EXPECT_FALSE(::IsWindowVisible(dialog.Control(IDC_FILELIST)));
    dialog.ClickTab(0);
    HWND files = dialog.Control(IDC_FILELIST);
    EXPECT_TRUE(test::PumpMessagesUntil([&] { return ::IsWindowVisible(files) != FALSE; }, 3000));
    EXPECT_FALSE(::IsWindowVisible(dialog.Control(IDC_NEWS)));
    EXPECT_FALSE(::IsWindowVisible(dialog.Control(IDC_CACHEPERCENT)));
    settingsWhileOpen = ReadWholeFile(GamesFile("KorvaneCDVD.ini"));
  });
  EXPECT_EQ(settingsWhileOpen, "127.0.0.1,35000,,,");
  EXPECT_EQ(ReadWholeFile(GamesFile("KorvaneCDVD.ini")), "127.0.0.1,35000,,,,");
  EXPECT_EQ(platform::GetWorkingDirectory(), scratch_);
}

TEST_F(ConfigDialogTest, ShowsTheLoadedSettingsRefusesABadPortAndSavesAtClose) {
  WriteSettings("192.0.2.7,36001,alice,secret,D:\\discs\\game.iso,");
  test::WriteWholeFile(GamesFile("ServerList.ini"), "192.0.2.1,192.0.2.7,");
  Configure([&](ConfigDialog& dialog) {
    EXPECT_EQ(dialog.Text(IDC_IPEDIT), "192.0.2.7");
    EXPECT_EQ(dialog.Entries(IDC_IPEDIT), (Texts{"192.0.2.1", "192.0.2.7"}));
    EXPECT_EQ(dialog.Text(IDC_PORTEDIT), "36001");
    EXPECT_EQ(dialog.Text(IDC_USEREDIT), "alice");
    EXPECT_EQ(dialog.Text(IDC_PASSWORDEDIT), "secret");
    EXPECT_TRUE(dialog.WaitForText(IDC_LOCALFILEEDIT, "D:\\discs\\game.iso"));
    dialog.SetText(IDC_PORTEDIT, "35");
    dialog.TypeAtEnd(IDC_PORTEDIT, 'x');
    EXPECT_EQ(dialog.TakeMessageBox(), "'35x' is not a valid integer value");
    EXPECT_EQ(dialog.Text(IDC_PORTEDIT), "35x");
    dialog.SetText(IDC_PORTEDIT, "36002");
    dialog.SetText(IDC_USEREDIT, "bob");
    dialog.Pick(IDC_IPEDIT, 0);
  });
  EXPECT_EQ(ReadWholeFile(GamesFile("KorvaneCDVD.ini")),
            "192.0.2.1,36002,bob,secret,D:\\discs\\game.iso,");
  EXPECT_EQ(platform::GetWorkingDirectory(), scratch_);
}

TEST_F(ConfigDialogTest, AFailedStartOpensAnywayAndAFailedSaveKeepsItOpen) {
  WriteSettings("127.0.0.1,abc,alice,,");
  Configure([&](ConfigDialog& dialog) {
    EXPECT_EQ(dialog.TakeMessageBox(), "'abc' is not a valid integer value");
    EXPECT_TRUE(test::PumpMessagesUntil([&] { return ::IsWindowVisible(dialog.Window()) != 0; }));
    EXPECT_EQ(dialog.Text(IDC_USEREDIT), "");  // loading stopped at the port
    std::filesystem::remove(GamesFile("KorvaneCDVD.ini"));
    std::filesystem::create_directory(GamesFile("KorvaneCDVD.ini"));
    dialog.Click(IDC_BUTTON1);
    EXPECT_EQ(dialog.TakeMessageBox(), "File access denied");
    EXPECT_TRUE(::IsWindowVisible(dialog.Window()));
    // The next close lets the dialog go and saves nothing, though it now could.
    std::filesystem::remove(GamesFile("KorvaneCDVD.ini"));
    dialog.Click(IDC_BUTTON1);
    EXPECT_TRUE(test::PumpMessagesUntil([&] { return !::IsWindow(dialog.Window()); }, 5000));
    EXPECT_EQ(dialog.TakeMessageBox(300), "");
  });
  EXPECT_FALSE(std::filesystem::exists(GamesFile("KorvaneCDVD.ini")));
}

TEST_F(ConfigDialogTest, DebugInfoAndDiskTypeReopenAtTheirInitialValues) {
  WriteSettings("127.0.0.1,35000,,," + folder_.MakeImage("disc.iso", 8, 2048) + ",");
  Configure([&](ConfigDialog& dialog) {
    dialog.Click(IDC_CHECKBOX1);
    dialog.Pick(IDC_DISKTYPEBOX, 1);
    EXPECT_TRUE(test::PumpMessagesUntil([&] { return !Checked(dialog); }, 3000));
  });
  EXPECT_EQ(dll_->getDiskType(), 20);
  size_t traced = trace_.Text().size();
  dll_->test();  // traces only while Debug Info is on
  EXPECT_EQ(trace_.Text().size(), traced);

  Configure([&](ConfigDialog& dialog) {
    EXPECT_TRUE(Checked(dialog));
    EXPECT_EQ(dialog.Text(IDC_DISKTYPEBOX), "CDVD_TYPE_PS2CD");
    dialog.SetText(IDC_DISKTYPEBOX, "cdvd_type_ps2cd");  // not the entry: a DVD
  });
  EXPECT_EQ(dll_->getDiskType(), 20);
  dll_->test();  // the box opened checked, but nobody touched it: still off
  EXPECT_EQ(trace_.Text().size(), traced);

  Configure([&](ConfigDialog& dialog) {
    dialog.SetText(IDC_DISKTYPEBOX, "CDVD_TYPE_PS2C");
    dialog.SetText(IDC_DISKTYPEBOX, "CDVD_TYPE_PS2CD");  // the last keystroke
  });
  EXPECT_EQ(dll_->getDiskType(), 18);
}

TEST_F(ConfigDialogTest, RefusedConnectionShowsTheErrorCode) {
  StartServer();
  uint16_t port = server_->Port();
  server_->Stop();  // nothing listens there now
  Configure([&](ConfigDialog& dialog) {
    dialog.SetText(IDC_PORTEDIT, std::to_string(port));
    dialog.Click(IDC_CONNECTBUTTON);
    EXPECT_TRUE(dialog.WaitForText(IDC_OUTPUT, "ErrorCode:10061")) << dialog.Text(IDC_OUTPUT);
    EXPECT_NE(dialog.Text(IDC_OUTPUT).find("Trying to Connect\r\n"), std::string::npos);
    EXPECT_EQ(dialog.Text(IDC_CONNECTBUTTON), "Connect");
  });
  EXPECT_EQ(ReadWholeFile(GamesFile("ServerList.ini")), "127.0.0.1,");
}

TEST_F(ConfigDialogTest, RemoteDiscPlaysThroughTheExportsThenOfflineFromItsCache) {
  StartServer();
  std::string port = std::to_string(server_->Port());
  Configure([&](ConfigDialog& dialog) {
    std::string output;
    ASSERT_TRUE(dialog.ConnectAndList(port, 2, output)) << output;
    output = dialog.Text(IDC_OUTPUT);
    EXPECT_NE(output.find("Trying to Connect\r\nClient Connected to "), std::string::npos)
        << output;
    EXPECT_NE(output.find(":" + port + "\r\nSrvMsg:"), std::string::npos) << output;
    EXPECT_EQ(dialog.Text(IDC_CONNECTBUTTON), "Disconnect");
    EXPECT_EQ(dialog.Entries(IDC_FILELIST), (Texts{"a.iso", "b.bin"}));
    dialog.Pick(IDC_FILELIST, 1);
    dialog.Click(IDC_BUTTON1);
  });
  // The plugin link took the server over: it logs in while the host dispatches messages.
  // What the server sends next may come in one batch or several; the read path copes.
  ASSERT_TRUE(test::PumpMessagesUntil([&] {
    return trace_.Text().find("Client Connected sending login info") != std::string::npos;
  })) << trace_.Text();
  ExpectDisc(kRawSectors, 2352, 0);
  EXPECT_TRUE(std::filesystem::exists(GamesFile("b.bin.Block")));

  // The host starts again with the server gone; the settings name the cache's index.
  server_->Stop();
  dll_.reset();
  dll_ = std::make_unique<test::PluginDll>();
  WriteSettings("127.0.0.1,35000,,," + GamesFile("b.bin.map") + ",");
  Configure([](ConfigDialog&) {});
  ExpectDisc(kRawSectors, 2352, 0, true);
}

TEST_F(ConfigDialogTest, CloseSentFromAnotherThreadHandsOverToAHostThatDispatchesNothing) {
  StartServer();
  std::string port = std::to_string(server_->Port());
  Configure([&](ConfigDialog& dialog) {
    std::string output;
    ASSERT_TRUE(dialog.ConnectAndList(port, 2, output)) << output;
    // Picked and closed as a tool does it: by messages sent from this thread.
    HWND files = dialog.Control(IDC_FILELIST);
    ::SendMessageA(files, LB_SETCURSEL, 1, 0);
    ::SendMessageA(dialog.Window(), WM_COMMAND, MAKEWPARAM(IDC_FILELIST, LBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(files));
    dialog.ClickBySending(IDC_BUTTON1);
  });
  // An emulator that plays on its GUI thread dispatches nothing from here on.
  ExpectDisc(kRawSectors, 2352, 0);
}

TEST_F(ConfigDialogTest, LocalImageFromTheSettingsPlaysThroughTheExports) {
  std::string image = folder_.MakeImage("local.iso", kIsoSectors, 2048);
  WriteSettings("127.0.0.1,35000,,," + image + ",");
  Configure(
      [&](ConfigDialog& dialog) { EXPECT_TRUE(dialog.WaitForText(IDC_LOCALFILEEDIT, image)); });
  ExpectDisc(kIsoSectors, 2048, 3);
}

TEST_F(ConfigDialogTest, ChooseFileTakesThePickedImageAndACancelChangesNothing) {
  std::string image = folder_.MakeImage("chosen.iso", kIsoSectors, 2048);
  Configure([&](ConfigDialog& dialog) {
    dialog.Click(IDC_BUTTON2);
    ASSERT_TRUE(dialog.AnswerFileChooser(image));
    EXPECT_TRUE(dialog.WaitForText(IDC_LOCALFILEEDIT, image));
    dialog.Click(IDC_BUTTON2);
    ASSERT_TRUE(dialog.AnswerFileChooser(""));
    EXPECT_EQ(dialog.TakeMessageBox(300), "");
    EXPECT_EQ(dialog.Text(IDC_LOCALFILEEDIT), image);
    EXPECT_EQ(platform::GetWorkingDirectory(), scratch_ + "\\Games");
  });
  ExpectDisc(kIsoSectors, 2048, 3);
}

}  // namespace
}  // namespace korvane

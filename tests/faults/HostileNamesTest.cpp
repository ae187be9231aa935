// A hostile server's disc list: names that climb out of a folder with "..\" and "/", name
// drives, shares, absolute paths and devices, among texts of every byte value. Each name
// is chosen in the dialog's logic and played through the plugin's link; every cache file
// must land directly inside the games folder, and nothing may be created anywhere else.
#include <filesystem>

#include "FaultFixture.h"
#include "TestSockets.h"
#include "HostileServer.h"
#include "core/base/DiscName.h"
#include "dialogs/ConfigForm.h"

namespace korvane {
namespace {

namespace fs = std::filesystem;
using test::DiscList;
using test::HostilePeer;
using test::HostileServer;
using test::TextsOfEveryByte;

class NoView final : public ConfigView {
 public:
  void Refresh(ConfigControl) override {}
  std::string ChooseImageFile() override { return std::string(); }
  bool PopupLocalFileMenu() override { return false; }
};

const std::vector<std::string> kHostileNames = {
    "..\\..\\escape-1.iso",
    "../../escape-2.iso",
    "..\\../..\\escape-3.iso",
    "sub/../../escape-4.iso",
    "C:\\Windows\\escape-5.iso",
    "\\\\host\\share\\escape-6.iso",
    "/tmp/escape-7.iso",
    "..",
    "..\\",
    "CON",
    "nul.iso",
    "a:b*c?<d>|e\".iso",
    std::string("ctl\x01\x1F\x7F-escape-8.iso"),
};

class HostileNamesTest : public test::FaultTest {
 protected:
  // Pumps the dialog's connection and the plugin's link until done.
  template <typename Done>
  bool PumpBoth(ConfigForm& form, Done done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < end) {
      form.Client().Pump(5);
      plugin_->CurrentPluginSocket()->client.Pump(5);
    }
    return done();
  }

  // Below the scratch folder there are only the disc images, the dialog's settings (its
  // folder is "Games", where it moves the working directory) and the caches, directly in
  // the plugin's games folder; the folder above holds nothing the names asked for.
  void ExpectNothingOutsideTheGamesFolder() {
    const fs::path settings = folder_.Path() / "Games";
    const fs::path games = GamesFolder();
    for (const auto& entry : fs::recursive_directory_iterator(folder_.Path())) {
      const fs::path& path = entry.path();
      bool allowed = entry.is_directory()
                         ? path == folder_.Path() / "discs" || path == settings || path == games
                         : path.parent_path() == games ||
                               path.parent_path() == folder_.Path() / "discs" ||
                               (path.parent_path() == settings && path.extension() == ".ini");
      EXPECT_TRUE(allowed) << "created outside the games folder: " << path;
    }
    for (const auto& entry : fs::directory_iterator(folder_.Path().parent_path())) {
      EXPECT_EQ(entry.path().filename().string().find("escape-"), std::string::npos)
          << entry.path();
    }
  }
};

TEST_F(HostileNamesTest, ChosenNamesPlayIntoTheGamesFolderOnly) {
  const std::string image = ImagePath("a.iso");
  const std::string texts = TextsOfEveryByte();
  // Both the dialog's connection and the link meet the same server: texts, the list, the
  // prompt, then an honest sector of a.iso for every request, among more texts.
  HostileServer server([&](HostilePeer& peer) {
    if (!peer.LogIn(texts + DiscList(kHostileNames))) return;
    int mode = 0;
    uint32_t lsn = 0;
    while (peer.TakeRequest(mode, lsn, 10000)) {
      std::vector<uint8_t> sector = test::ImageSector(image, lsn, mode);
      peer.Send(texts + "\x04" + std::string(sector.begin(), sector.end()) + texts);
    }
  });
  NoView view;
  ConfigForm form(*plugin_, view);
  int unused = 0;
  test::sock::Close(test::sock::Listen(unused));
  form.SetNewsServer("127.0.0.1", unused);  // no news: nobody listens there
  form.FormCreate();
  form.UserChangesPortText(std::to_string(server.Port()));
  for (size_t n = 0; n < kHostileNames.size(); ++n) {
    SCOPED_TRACE(kHostileNames[n]);
    form.ConnectButtonClick();
    ASSERT_TRUE(
        PumpBoth(form, [&] { return form.Controls().fileList.size() == kHostileNames.size(); }));
    EXPECT_EQ(form.Controls().fileList[n], kHostileNames[n]);
    form.FileListClick(static_cast<int>(n));
    form.Button1Click();  // the link takes the server over (it connects once)
    ServerSocket& link = *plugin_->CurrentPluginSocket();
    ASSERT_TRUE(
        PumpBoth(form, [&] { return link.client.IsConnected() && !link.link.AwaitingPrompt(); }));
    std::string cache = SafeFileName(State().SelectedDiscName);
    CheckAtEnd(cache, "a.iso");
    OpenRemote();
    uint32_t lsn = static_cast<uint32_t>(n);
    ASSERT_EQ(plugin_->ReadTrack(lsn, kModeData2048), 0) << trace_.Text().substr(0, 2000);
    EXPECT_EQ(Buffer(2048), Expected("a.iso", lsn, kModeData2048));
    EXPECT_TRUE(fs::is_regular_file(fs::path(GamesFolder()) / (cache + ".Block"))) << cache;
  }
  form.FormClose();
  ExpectNothingOutsideTheGamesFolder();
}

}  // namespace
}  // namespace korvane

// The "Config" dialog's Local and News pages and the "About..." box under Wine, opened
// through the exports and driven as a user drives them: the block caches of the Games
// folder, picked, replayed and deleted through the list's menu; the news page fetched from
// a web server of the test's own on 127.0.0.1 port 80; the About box's window and banner.
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "DialogDriver.h"
#include "core/base/LibraryIdentity.h"
#include "dialogs/AboutControlIds.h"
#include "dialogs/ConfigControlIds.h"
#include "platform/FileSystem.h"

namespace korvane {
namespace {

using test::ConfigDialog;
using test::ReadWholeFile;
using Texts = std::vector<std::string>;

constexpr int kLocalPage = 1;
constexpr int kCacheSectors = 24;
constexpr char kNewsRequest[] =
    "GET /dmes.php HTTP/1.1\r\n"
    "Host: localhost\r\n"
    "User-Agent: Mozilla/5.0 (Windows; U; Windows NT 5.1; en-US; rv:1.7.10) Gecko/20050716 "
    "Firefox/1.0.6\r\n"
    "Connection: close\r\n"
    "\r\n";

// A web server of one page on 127.0.0.1 port 80, on a thread of its own: it answers every
// connection with the page in one write, closes it, and keeps each request it read.
class NewsServer final {
 public:
  explicit NewsServer(const std::string& body) {
    SetPage(body);
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    // Another test process may hold the port for a moment.
    for (int attempt = 0; attempt < 200 && !Listen(); ++attempt) ::Sleep(50);
    if (listener_ != INVALID_SOCKET) thread_ = std::thread([this] { Serve(); });
  }
  ~NewsServer() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ != INVALID_SOCKET) ::closesocket(listener_);
    ::WSACleanup();
  }
  NewsServer(const NewsServer&) = delete;
  NewsServer& operator=(const NewsServer&) = delete;

  bool Listening() const { return listener_ != INVALID_SOCKET; }
  // The page served from now on.
  void SetPage(const std::string& body) {
    std::lock_guard<std::mutex> hold(lock_);
    response_ = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  }
  // Waits up to timeoutMs until count requests were answered; the requests so far.
  Texts WaitForRequests(size_t count, int timeoutMs = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      {
        std::lock_guard<std::mutex> hold(lock_);
        if (requests_.size() >= count || std::chrono::steady_clock::now() >= end) return requests_;
      }
      ::Sleep(10);
    }
  }

 private:
  bool Listen() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    // The port of an earlier test's closed connections may still wait out their close.
    BOOL one = TRUE;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one),
                 sizeof one);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(80);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
        ::listen(listener_, 8) == 0) {
      return true;
    }
    ::closesocket(listener_);
    listener_ = INVALID_SOCKET;
    return false;
  }
  static bool Readable(SOCKET s, int timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval wait{0, timeoutMs * 1000};
    return ::select(0, &readable, nullptr, nullptr, &wait) > 0;
  }
  void Serve() {
    while (!stopping_) {
      if (!Readable(listener_, 50)) continue;
      SOCKET client = ::accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) continue;
      Answer(client);
      ::closesocket(client);
    }
  }
  void Answer(SOCKET client) {
    std::string request;
    for (int wait = 0; wait < 60 && request.find("\r\n\r\n") == std::string::npos; ++wait) {
      if (!Readable(client, 50)) continue;
      char chunk[1024];
      int got = ::recv(client, chunk, sizeof chunk, 0);
      if (got <= 0) break;
      request.append(chunk, static_cast<size_t>(got));
    }
    std::string response;
    {
      std::lock_guard<std::mutex> hold(lock_);
      response = response_;
    }
    ::send(client, response.data(), static_cast<int>(response.size()), 0);
    ::shutdown(client, SD_SEND);
    std::lock_guard<std::mutex> hold(lock_);
    requests_.push_back(request);
  }

  SOCKET listener_ = INVALID_SOCKET;
  std::atomic<bool> stopping_{false};
  std::mutex lock_;
  std::string response_;
  Texts requests_;
  std::thread thread_;
};

// A news page whose title holds exactly the 17 characters that the conversion drops.
std::string NewsPage(const std::string& body) {
  return "<html><head><title>Korvane news page</title></head><body>" + body + "</body></html>";
}

// The pixels of bitmap, top row first.
std::vector<RGBQUAD> PixelsOf(HBITMAP bitmap, int width, int height) {
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof format.bmiHeader;
  format.bmiHeader.biWidth = width;
  format.bmiHeader.biHeight = -height;
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  format.bmiHeader.biCompression = BI_RGB;
  std::vector<RGBQUAD> pixels(static_cast<size_t>(width) * static_cast<size_t>(height));
  HDC screen = ::GetDC(nullptr);
  ::GetDIBits(screen, bitmap, 0, static_cast<UINT>(height), pixels.data(), &format, DIB_RGB_COLORS);
  ::ReleaseDC(nullptr, screen);
  return pixels;
}

class PanelsDialogTest : public ::testing::Test {
 protected:
  PanelsDialogTest() : previous_(platform::GetWorkingDirectory()) {
    platform::SetWorkingDirectory(folder_.Path().string());
    scratch_ = platform::GetWorkingDirectory();
    std::filesystem::create_directory(folder_.Path() / "Games");
  }
  ~PanelsDialogTest() override {
    dll_.reset();
    platform::SetWorkingDirectory(previous_);
  }
  void SetUp() override {
    ASSERT_NE(dll_->module, nullptr) << "KorvaneCDVD.dll did not load";
    ASSERT_NE(dll_->configure, nullptr);
    ASSERT_NE(dll_->about, nullptr);
  }

  void Configure(const std::function<void(ConfigDialog&)>& script) {
    test::RunConfigure(dll_->configure, script);
  }
  std::string GamesFile(const std::string& name) const { return folder_.PathOf("Games\\" + name); }
  // The path that the dialog shows for a file of the Games folder.
  std::string ShownPath(const std::string& name) const { return scratch_ + "\\Games\\" + name; }
  void MakeFile(const std::string& name) {
    test::WriteWholeFile(GamesFile(name), "sixteen bytes...");
  }
  // A cache of sectors 0 .. kCacheSectors - 1 in mode 3, stored last sector first, so that
  // only a reader that follows the index finds each one.
  void MakeCache(const std::string& stem) {
    std::string block, map;
    for (int lsn = kCacheSectors - 1; lsn >= 0; --lsn) {
      map += std::to_string(lsn) + "/3/" + std::to_string(block.size()) + "\r\n";
      std::vector<uint8_t> sector = test::PatternSector(static_cast<uint64_t>(lsn), 2048);
      block.append(sector.begin(), sector.end());
    }
    test::WriteWholeFile(GamesFile(stem + ".Block"), block);
    test::WriteWholeFile(GamesFile(stem + ".map"), map);
  }
  static void OpenLocalPage(ConfigDialog& dialog) {
    dialog.ClickTab(kLocalPage);
    HWND list = dialog.Control(IDC_LOCALCACHELIST);
    EXPECT_TRUE(test::PumpMessagesUntil([&] { return ::IsWindowVisible(list) != FALSE; }, 3000));
  }
  static int BarPosition(ConfigDialog& dialog) {
    return static_cast<int>(::SendMessageA(dialog.Control(IDC_CACHEPERCENT), PBM_GETPOS, 0, 0));
  }
  // Right-clicks the cache list and chooses "Delete" in its menu.
  static void DeleteThroughTheMenu(ConfigDialog& dialog) {
    dialog.OpenContextMenu(IDC_LOCALCACHELIST);
    EXPECT_TRUE(dialog.ChooseMenuItem("Delete"));
  }
  static bool WaitForEntries(ConfigDialog& dialog, const Texts& entries) {
    return test::PumpMessagesUntil([&] { return dialog.Entries(IDC_LOCALCACHELIST) == entries; },
                                   5000);
  }

  test::ScratchFolder folder_;
  std::string previous_;
  std::string scratch_;
  test::CapturedStdout trace_{folder_.PathOf("trace.txt")};
  std::unique_ptr<test::PluginDll> dll_ = std::make_unique<test::PluginDll>();
};

TEST_F(PanelsDialogTest, LocalPageListsTheBlockFilesSortedIgnoringCaseInAquaOnBlack) {
  MakeFile("beta.Block");
  MakeFile("Gamma.block");
  MakeFile("Alpha.BLOCK");
  MakeFile("beta.map");
  MakeFile("notes.txt");
  MakeFile("hidden.Block");
  ASSERT_TRUE(::SetFileAttributesA(GamesFile("hidden.Block").c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(::GetFileAttributesA(GamesFile("hidden.Block").c_str()) & FILE_ATTRIBUTE_HIDDEN);
  std::filesystem::create_directory(GamesFile("folder.Block"));
  Configure([&](ConfigDialog& dialog) {
    OpenLocalPage(dialog);
    EXPECT_EQ(dialog.Entries(IDC_LOCALCACHELIST),
              (Texts{"Alpha.BLOCK", "beta.Block", "Gamma.block"}));
    EXPECT_EQ(::SendMessageA(dialog.Control(IDC_LOCALCACHELIST), LB_GETCURSEL, 0, 0), LB_ERR);
    // The list's colours, as the dialog gives them to it.
    HDC dc = ::CreateCompatibleDC(nullptr);
    auto brush = reinterpret_cast<HBRUSH>(
        ::SendMessageA(dialog.Window(), WM_CTLCOLORLISTBOX, reinterpret_cast<WPARAM>(dc),
                       reinterpret_cast<LPARAM>(dialog.Control(IDC_LOCALCACHELIST))));
    LOGBRUSH fill{};
    ASSERT_NE(brush, nullptr);
    ::GetObjectA(brush, sizeof fill, &fill);
    EXPECT_EQ(fill.lbColor, RGB(0, 0, 0));
    EXPECT_EQ(::GetTextColor(dc), RGB(0, 255, 255));
    EXPECT_EQ(::GetBkColor(dc), RGB(0, 0, 0));
    ::DeleteDC(dc);
    // The size bar: smooth, and long enough for any cache up to 999999999 bytes.
    HWND bar = dialog.Control(IDC_CACHEPERCENT);
    EXPECT_TRUE(::GetWindowLongA(bar, GWL_STYLE) & PBS_SMOOTH);
    PBRANGE range{};
    ::SendMessageA(bar, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, 999999999);
    EXPECT_EQ(BarPosition(dialog), 0);
  });
}

TEST_F(PanelsDialogTest, APickedCacheShowsItsSizeAndReplaysThroughTheExports) {
  MakeCache("disc");
  MakeFile("huge.Block");
  test::WriteAt(GamesFile("huge.Block"), 3000000000ull, {1});  // sparse, beyond 32 bits
  Configure([&](ConfigDialog& dialog) {
    OpenLocalPage(dialog);
    ASSERT_EQ(dialog.Entries(IDC_LOCALCACHELIST), (Texts{"disc.Block", "huge.Block"}));
    dialog.Pick(IDC_LOCALCACHELIST, 1);
    ASSERT_TRUE(dialog.WaitForText(IDC_LOCALFILEEDIT, ShownPath("huge.map")));
    EXPECT_EQ(BarPosition(dialog), 999999999);  // full: a larger size has no place on it
    dialog.Pick(IDC_LOCALCACHELIST, 0);
    ASSERT_TRUE(dialog.WaitForText(IDC_LOCALFILEEDIT, ShownPath("disc.map")));
    EXPECT_EQ(dialog.Text(IDC_LOCALFILEEDIT), ShownPath("disc.map"));
    EXPECT_EQ(BarPosition(dialog), kCacheSectors * 2048);
  });
  EXPECT_EQ(ReadWholeFile(GamesFile("KorvaneCDVD.ini")),
            "127.0.0.1,35000,,," + ShownPath("disc.map") + ",");
  ASSERT_EQ(dll_->open(), 0);
  for (uint32_t lsn = 0; lsn < kCacheSectors; ++lsn) {
    ASSERT_EQ(dll_->readTrack(lsn, 3), 0) << "lsn " << lsn << "\n" << trace_.Text();
    const uint8_t* buffer = dll_->getBuffer();
    ASSERT_NE(buffer, nullptr);
    std::vector<uint8_t> expected = test::PatternSector(lsn, 2048);
    ASSERT_EQ(std::memcmp(buffer, expected.data(), expected.size()), 0) << "lsn " << lsn;
  }
  EXPECT_EQ(dll_->readTrack(kCacheSectors, 3), -1);  // never cached
  dll_->close();
}

TEST_F(PanelsDialogTest, AClickOnTheCacheStillSelectedTakesItBackFromAChosenFile) {
  MakeCache("disc");
  std::string chosen = folder_.PathOf("chosen.iso");
  test::WriteWholeFile(chosen, std::string(kCacheSectors * 2048, 'x'));
  Configure([&](ConfigDialog& dialog) {
    OpenLocalPage(dialog);
    dialog.Pick(IDC_LOCALCACHELIST, 0);
    ASSERT_TRUE(dialog.WaitForText(IDC_LOCALFILEEDIT, ShownPath("disc.map")));
    dialog.Click(IDC_BUTTON2);
    ASSERT_TRUE(dialog.AnswerFileChooser(chosen));
    ASSERT_TRUE(dialog.WaitForText(IDC_LOCALFILEEDIT, chosen));
    dialog.Pick(IDC_LOCALCACHELIST, 0);  // the list box sees no change of its selection
    EXPECT_TRUE(dialog.WaitForText(IDC_LOCALFILEEDIT, ShownPath("disc.map")));
  });
  EXPECT_EQ(ReadWholeFile(GamesFile("KorvaneCDVD.ini")),
            "127.0.0.1,35000,,," + ShownPath("disc.map") + ",");
  ASSERT_EQ(dll_->open(), 0);
  ASSERT_EQ(dll_->readTrack(0, 3), 0) << trace_.Text();
  std::vector<uint8_t> expected = test::PatternSector(0, 2048);
  EXPECT_EQ(std::memcmp(dll_->getBuffer(), expected.data(), expected.size()), 0);
  dll_->close();
}

TEST_F(PanelsDialogTest, LocalPageErrorsAUnreadableCacheAndDeleteWithoutASelection) {
  MakeFile("gone.Block");
  MakeFile("kept.Block");
  Configure([&](ConfigDialog& dialog) {
    OpenLocalPage(dialog);
    DeleteThroughTheMenu(dialog);
    EXPECT_EQ(dialog.TakeMessageBox(), "List index out of bounds (-1)");
    std::filesystem::remove(GamesFile("gone.Block"));  // after the list was read
    dialog.Pick(IDC_LOCALCACHELIST, 0);
    EXPECT_EQ(dialog.TakeMessageBox(), "Cannot open file gone.Block");
    EXPECT_EQ(dialog.Text(IDC_LOCALFILEEDIT), "");
    EXPECT_EQ(BarPosition(dialog), 0);
  });
  EXPECT_TRUE(std::filesystem::exists(GamesFile("kept.Block")));
}

TEST_F(PanelsDialogTest, DeleteRemovesTheCacheWithItsIndexOrTheBlockFileAlone) {
  MakeCache("first");
  MakeFile("second.Block");
  MakeFile("second.txt");
  Configure([&](ConfigDialog& dialog) {
    OpenLocalPage(dialog);
    dialog.Pick(IDC_LOCALCACHELIST, 0);
    ASSERT_TRUE(dialog.WaitForText(IDC_LOCALFILEEDIT, ShownPath("first.map")));
    DeleteThroughTheMenu(dialog);
    EXPECT_TRUE(WaitForEntries(dialog, {"second.Block"}));
    EXPECT_EQ(dialog.TakeMessageBox(300), "");
    EXPECT_FALSE(std::filesystem::exists(GamesFile("first.Block")));
    EXPECT_FALSE(std::filesystem::exists(GamesFile("first.map")));
    dialog.Pick(IDC_LOCALCACHELIST, 0);
    ASSERT_TRUE(dialog.WaitForText(IDC_LOCALFILEEDIT, ShownPath("second.map")));
    DeleteThroughTheMenu(dialog);  // its index is missing: the .Block file goes alone
    EXPECT_TRUE(WaitForEntries(dialog, {}));
    EXPECT_EQ(dialog.TakeMessageBox(300), "");
  });
  EXPECT_FALSE(std::filesystem::exists(GamesFile("second.Block")));
  EXPECT_TRUE(std::filesystem::exists(GamesFile("second.txt")));
}

TEST_F(PanelsDialogTest, NewsPageShowsTheFetchedPageAsPlainLinesAndGetNewsFetchesAgain) {
  NewsServer server(NewsPage("first\tsecond"));
  ASSERT_TRUE(server.Listening()) << "port 80 stays taken";
  Configure([&](ConfigDialog& dialog) {
    Texts requests = server.WaitForRequests(1);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0], kNewsRequest);
    EXPECT_TRUE(dialog.WaitForText(IDC_NEWS, "second"));
    EXPECT_EQ(dialog.Text(IDC_NEWS), "first\r\n\r\nsecond\r\n\r\n");
    server.SetPage(NewsPage("{\\rtf1 not \\b rich} text\tthird"));
    dialog.Click(IDC_NEWSBUTTON);
    EXPECT_GE(server.WaitForRequests(2).size(), 2u);
    EXPECT_TRUE(dialog.WaitForText(IDC_NEWS, "third"));
    EXPECT_EQ(dialog.Text(IDC_NEWS), "{\\rtf1 not \\b rich} text\r\n\r\nthird\r\n\r\n");
  });
}

TEST_F(PanelsDialogTest, NewsBoxShowsTheTopOfALongPage) {
  std::string body;
  for (int line = 1; line <= 80; ++line) body += "news line " + std::to_string(line) + "\t";
  body += "end";
  NewsServer server(NewsPage(body));
  ASSERT_TRUE(server.Listening()) << "port 80 stays taken";
  Configure([&](ConfigDialog& dialog) {
    ASSERT_TRUE(dialog.WaitForText(IDC_NEWS, "end"));
    HWND news = dialog.Control(IDC_NEWS);
    EXPECT_EQ(dialog.Text(IDC_NEWS).rfind("news line 1\r\n\r\nnews line 2\r\n", 0), 0u);
    EXPECT_GT(::SendMessageA(news, EM_GETLINECOUNT, 0, 0), 100);
    EXPECT_EQ(::SendMessageA(news, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
  });
}

TEST_F(PanelsDialogTest, AboutBoxShowsTheBannerAndTheLibraryNameAndClosesWithOk) {
  bool shown = false;
  test::RunDialog(dll_->about, "About...", [&](ConfigDialog& box) {
    HWND window = box.Window();
    test::ExpectFixedWindow(window, 333, 319, 653, 188);
    EXPECT_EQ(box.Text(IDC_ABOUT_DLLVER), kLibraryName);
    EXPECT_NE(box.Text(IDC_ABOUT_LABEL1).find("Korvane CDVD plugin"), std::string::npos);
    EXPECT_EQ(box.Text(IDC_ABOUT_BUTTON1), "OK");
    EXPECT_EQ(::GetNextDlgTabItem(window, nullptr, FALSE), box.Control(IDC_ABOUT_BUTTON1));
    LOGFONTA label{};
    ::GetObjectA(
        reinterpret_cast<HFONT>(::SendMessageA(box.Control(IDC_ABOUT_LABEL1), WM_GETFONT, 0, 0)),
        sizeof label, &label);
    EXPECT_EQ(label.lfHeight, -19);
    EXPECT_EQ(label.lfWeight, FW_BOLD);
    // The banner fills its place; its dark background shows the JPEG was decoded.
    auto banner = reinterpret_cast<HBITMAP>(
        ::SendMessageA(box.Control(IDC_ABOUT_IMAGE1), STM_GETIMAGE, IMAGE_BITMAP, 0));
    ASSERT_NE(banner, nullptr);
    BITMAP shape{};
    ::GetObjectA(banner, sizeof shape, &shape);
    EXPECT_EQ(shape.bmWidth, 337);
    EXPECT_EQ(shape.bmHeight, 129);
    std::vector<RGBQUAD> pixels = PixelsOf(banner, shape.bmWidth, shape.bmHeight);
    const RGBQUAD& corner = pixels[126 * 337 + 2];
    EXPECT_LT(corner.rgbRed + corner.rgbGreen + corner.rgbBlue, 120);
    shown = true;
    box.Click(IDC_ABOUT_BUTTON1);
    EXPECT_TRUE(test::PumpMessagesUntil([&] { return !::IsWindow(window); }, 5000));
  });
  EXPECT_TRUE(shown);
  EXPECT_EQ(platform::GetWorkingDirectory(), scratch_);
}

}  // namespace
}  // namespace korvane

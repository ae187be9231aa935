// The fault tests' fixture: scratch folder, servers, the plugin's link, the closing check.
#include "FaultFixture.h"
#include "LocalPlay.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/FileSystem.h"

#ifndef _WIN32
#include <fstream>
#endif

namespace korvane::test {

namespace fs = std::filesystem;

FaultTest::FaultTest() : previous_(platform::GetWorkingDirectory()) {
  fs::create_directory(folder_.Path() / "discs");
  folder_.MakeImage("discs/a.iso", kIsoSectors, 2048);
  folder_.MakeImage("discs/b.bin", kRawSectors, 2352);
  platform::SetWorkingDirectory(folder_.Path().string());
  plugin_ = std::make_unique<Plugin>(trace_);
}

FaultTest::~FaultTest() {
  plugin_.reset();
  if (server_) server_->Stop();
  platform::SetWorkingDirectory(previous_);
}

void FaultTest::TearDown() {
  std::set<std::string> caches;
  std::error_code error;
  if (fs::is_directory(GamesFolder(), error)) {
    for (const auto& entry : fs::directory_iterator(GamesFolder(), error)) {
      std::string name = entry.path().filename().string();
      for (const char* suffix : {".map", ".Block"}) {
        size_t at = name.size() - std::min(name.size(), std::string(suffix).size());
        if (name.compare(at, std::string::npos, suffix) == 0) caches.insert(name.substr(0, at));
      }
    }
  }
  for (const std::string& cache : caches) {
    auto known = imageOfCache_.find(cache);
    std::string disc = known != imageOfCache_.end() ? known->second : cache;
    if (!fs::is_regular_file(ImagePath(disc), error)) {
      ADD_FAILURE() << "a cache of no disc the server serves: " << cache;
      continue;
    }
    ExpectConsistentCache(GamesFolder(), cache, ImagePath(disc));
  }
}

int FaultTest::StartServer(const std::function<void(server::ServerConfig&)>& adjust) {
  server::ServerConfig config = test::LocalServerConfig(folder_.PathOf("discs"));
  if (adjust) adjust(config);
  server_ = std::make_unique<server::DiscServer>(config);
  std::string error;
  EXPECT_TRUE(server_->Start(error)) << error;
  return server_->Port();
}

int FaultTest::StartServerProgram(ChildProcess& process, const std::vector<std::string>& options) {
  static int started = 0;
  std::string log = folder_.PathOf("server-" + std::to_string(++started) + ".log");
  std::vector<std::string> args{"--folder",
                                folder_.PathOf("discs"),
                                "--allow-anyone",
                                "--bind",
                                "127.0.0.1",
                                "--port",
                                "0",
                                "--message-gap-ms",
                                "60"};
  args.insert(args.end(), options.begin(), options.end());
  // An accounts file given takes the place of anyone allowed.
  if (std::find(options.begin(), options.end(), "--accounts") != options.end()) {
    args.erase(std::find(args.begin(), args.end(), "--allow-anyone"));
  }
  if (!process.Start(ChildProcess::ProgramBesideThisOne("korvane-server"), args, log)) return 0;
  // Its first line tells the port: "... on 127.0.0.1:PORT with N threads".
  const std::string marker = "on 127.0.0.1:";
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < end) {
    std::string text = ReadWholeFile(log);
    size_t at = text.find(marker);
    if (at != std::string::npos && text.find(" with ", at) != std::string::npos) {
      return std::stoi(text.substr(at + marker.size()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return 0;
}

void FaultTest::ConnectLink(int port, int32_t disc, const std::string& listedName) {
  ServerSocket& socket = test::StartPluginLink(*plugin_, port, disc, listedName);
  // Connected and no longer awaiting the prompt: the link has answered it.
  bool ready =
      PumpUntil([&] { return socket.client.IsConnected() && !socket.link.AwaitingPrompt(); });
  ASSERT_TRUE(ready) << trace_.Text();
}

void FaultTest::OpenRemote() {
  State().RemoteMode = true;
  plugin_->Open();
}

void FaultTest::RestartPlugin() {
  plugin_ = std::make_unique<Plugin>(trace_);
}

std::vector<uint8_t> FaultTest::Buffer(size_t count) const {
  const uint8_t* data = plugin_->State().SectorBuffer.Data();
  return std::vector<uint8_t>(data, data + count);
}

void FaultTest::PlayWithoutPrefetch(const std::string& disc, uint32_t first, uint32_t count,
                                     int32_t mode) {
  for (uint32_t odd = 0; odd < 2; ++odd) {
    for (uint32_t lsn = first + odd; lsn < first + count; lsn += 2) {
      ASSERT_EQ(plugin_->ReadTrack(lsn, mode), 0) << lsn << trace_.Text().substr(0, 2000);
      ASSERT_EQ(Buffer(SectorBytesForMode(mode)), Expected(disc, lsn, mode)) << lsn;
    }
  }
}

std::string FaultTest::ImagePath(const std::string& disc) const {
  return folder_.PathOf("discs/" + disc);
}

// The plugin's games folder is "Games" below whatever the working directory is now: the
// dialog moves the working directory into its settings folder.
std::string FaultTest::GamesFolder() const {
  return (fs::path(platform::GetWorkingDirectory()) / "Games").string();
}

std::string FaultTest::CacheFiles(const std::string& disc) const {
  std::string block = (fs::path(GamesFolder()) / (disc + ".Block")).string();
  std::string map = (fs::path(GamesFolder()) / (disc + ".map")).string();
  std::error_code error;
  auto size = fs::file_size(block, error);
  return "block " + (error ? std::string("none") : std::to_string(size)) + ", map [" +
         ReadWholeFile(map) + "]";
}

CacheReport FaultTest::CheckCache(const std::string& disc) {
  return ExpectConsistentCache(GamesFolder(), disc, ImagePath(disc));
}

void FaultTest::ExpectResidentGrowthBelow(int64_t limit) const {
  int64_t now = ResidentBytes();
  if (now < 0 || residentAtStart_ < 0) return;
  EXPECT_LT(now - residentAtStart_, limit)
      << "resident memory grew from " << residentAtStart_ << " to " << now << " bytes";
}

int64_t FaultTest::ResidentBytes() {
#ifdef _WIN32
  return -1;
#else
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
  }
  return -1;
#endif
}

}  // namespace korvane::test

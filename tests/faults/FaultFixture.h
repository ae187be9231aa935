// The fault tests' common ground: a scratch folder that is the working directory (so the
// plugin's "Games" folder lands in it) with two disc images, a plugin, the real disc server
// in-process or as a program of its own, and the plugin's link connected as the dialog
// leaves it. Whatever a test does, its end checks every cache in the games folder with
// ExpectConsistentCache.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CacheConsistency.h"
#include "ChildProcess.h"
#include "TestSupport.h"
#include "core/Plugin.h"
#include "server/DiscServer.h"

namespace korvane::test {

inline constexpr uint32_t kIsoSectors = 1200;  // discs/a.iso, 2048-byte sectors
inline constexpr uint32_t kRawSectors = 400;   // discs/b.bin, 2352-byte sectors

class FaultTest : public ::testing::Test {
 protected:
  FaultTest();
  ~FaultTest() override;
  // The consistency check of every cache the games folder holds.
  void TearDown() override;

  // Starts the disc server in-process on 127.0.0.1, its settings adjusted by adjust;
  // returns its port.
  int StartServer(const std::function<void(server::ServerConfig&)>& adjust = {});
  // Starts the korvane-server program on 127.0.0.1 with options added to the usual ones
  // (--accounts in them takes the place of --allow-anyone); returns its port, or 0 when it
  // did not come up.
  int StartServerProgram(ChildProcess& process, const std::vector<std::string>& options);

  // Connects a new plugin link to 127.0.0.1:port with disc chosen as the dialog leaves it,
  // and waits until the server's prompt is answered.
  void ConnectLink(int port, int32_t disc, const std::string& listedName);
  // CDVDopen in remote mode: the disc's cache index is loaded.
  void OpenRemote();
  // A new plugin, as after the host was restarted; nothing configured.
  void RestartPlugin();

  template <typename Done>
  bool PumpUntil(Done done, int timeoutMs = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done() && std::chrono::steady_clock::now() < end) {
      if (ServerSocket* socket = plugin_->CurrentPluginSocket()) {
        socket->client.Pump(10);
      }
    }
    return done();
  }

  // The plugin's state once what a dialog chose has reached it, as at any entry point.
  PluginState& State() {
    plugin_->ApplyChoices();
    return plugin_->State();
  }
  std::vector<uint8_t> Buffer(size_t count) const;
  std::string ImagePath(const std::string& disc) const;
  // The folder where the plugin keeps its caches now.
  std::string GamesFolder() const;
  // The sector a request of the disc's gets from the server's image.
  std::vector<uint8_t> Expected(const std::string& disc, uint32_t lsn, int32_t mode) const {
    return ImageSector(ImagePath(disc), lsn, mode);
  }
  // Plays count sectors from first in mode, the even ones and then the odd ones, each
  // checked against the image: no read follows the one before it, so no request goes out
  // ahead of need and a fault meets the request of the read that needs it.
  void PlayWithoutPrefetch(const std::string& disc, uint32_t first, uint32_t count, int32_t mode);
  // The disc's cache files as they are now (sizes and the whole index), to compare.
  std::string CacheFiles(const std::string& disc) const;
  // Checks the disc's cache now, against the image it names.
  CacheReport CheckCache(const std::string& disc);
  // Makes TearDown check the cache named cacheName against disc's image.
  void CheckAtEnd(const std::string& cacheName, const std::string& disc) {
    imageOfCache_[cacheName] = disc;
  }

  // Bytes resident in memory for this process, or -1 where that is not measured.
  static int64_t ResidentBytes();
  // Fails when the process's resident memory grew by limit bytes or more since the test
  // began (natively; nothing is measured on Windows).
  void ExpectResidentGrowthBelow(int64_t limit) const;

  ScratchFolder folder_;
  std::string previous_;
  CapturedTrace trace_;
  std::unique_ptr<Plugin> plugin_;
  std::unique_ptr<server::DiscServer> server_;

 private:
  int64_t residentAtStart_ = ResidentBytes();
  std::map<std::string, std::string> imageOfCache_;  // cache name -> disc image name
};

// Milliseconds since start.
inline int64_t MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace korvane::test

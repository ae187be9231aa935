// korvane_fault_player: a host in miniature that the fault tests kill while it appends to
// a block cache. It plays a disc from the disc server through the plugin's core, as a
// host does after the dialog closed, into the "Games" folder of the folder it is given,
// in passes of modes 3, 0 and 1 (or the modes given) from LSN 0 on, and exits when all are
// played.
//
//   korvane_fault_player FOLDER PORT DISC_INDEX DISC_NAME SECTORS [MODES, as "301"]
//
// Exit status: 0 when the whole disc was played, 2 for wrong arguments, 3 when the server
// could not be reached, 4 when a read failed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/Plugin.h"
#include "platform/FileSystem.h"

namespace {

// Trace lines are not wanted: the test reads the cache, not the output.
class NoTrace final : public korvane::TraceOutput {
 public:
  void Write(std::string_view) override {}
};

bool Connect(korvane::Plugin& plugin, int port) {
  korvane::ServerSocket& socket = plugin.CreatePluginSocket();
  socket.client.SetHost("127.0.0.1");
  socket.client.SetPortNumber(port);
  socket.client.Activate();
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < end) {
    socket.client.Pump(10);
    if (socket.client.IsConnected() && !socket.link.AwaitingPrompt()) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6 && argc != 7) {
    std::fprintf(stderr, "usage: %s FOLDER PORT DISC_INDEX DISC_NAME SECTORS [MODES]\n", argv[0]);
    return 2;
  }
  if (!korvane::platform::SetWorkingDirectory(argv[1])) return 2;
  const int port = std::atoi(argv[2]);
  const uint32_t sectors = static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 10));
  NoTrace output;
  korvane::Plugin plugin(output);
  plugin.State().LoginUser = "player";
  plugin.State().LoginPassword = "secret";
  plugin.State().SelectedDiscIndex = std::atoi(argv[3]);
  plugin.State().SelectedDiscName = argv[4];
  plugin.State().RemoteMode = true;
  if (!Connect(plugin, port)) return 3;
  plugin.Open();  // loads what an earlier, killed player left
  std::printf("playing\n");
  std::fflush(stdout);
  const std::string modes = argc == 7 ? argv[6] : "301";
  for (char digit : modes) {
    const int32_t mode = digit - '0';
    for (uint32_t lsn = 0; lsn < sectors; ++lsn) {
      if (plugin.ReadTrack(lsn, mode) != 0) {
        std::printf("read of LSN %u mode %d failed\n", lsn, mode);
        return 4;
      }
    }
  }
  std::printf("played\n");
  return 0;
}

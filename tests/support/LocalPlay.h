// What the plugin's tests use to play from a disc server running in the test's own process:
// the server's settings (one folder served on 127.0.0.1 at a free port to anyone, no log,
// greeting, disc list and prompt in batches of their own, as across a network) and the
// plugin's link to it started as closing the dialog starts it.
#pragma once

#include <cstdint>
#include <string>

#include "core/base/DiscName.h"
#include "core/Plugin.h"
#include "server/DiscServer.h"

namespace korvane::test {

// Settings for a local server of folder; a test changes what it needs before starting it.
inline server::ServerConfig LocalServerConfig(const std::string& folder) {
  server::ServerConfig config;
  config.folder = folder;
  config.bindAddress = "127.0.0.1";
  config.port = 0;
  config.allowAnyone = true;
  config.quiet = true;
  config.messageGapMs = 60;
  return config;
}

// Logs plugin in at 127.0.0.1:port as "player" with disc `disc` (listed as listedName)
// chosen, and starts its link; the caller pumps until the link is ready.
inline ServerSocket& StartPluginLink(Plugin& plugin, int port, int32_t disc,
                                     const std::string& listedName) {
  PluginState& state = plugin.State();
  state.LoginUser = "player";
  state.LoginPassword = "secret";
  state.SelectedDiscIndex = disc;
  state.SelectedDiscName = DiscFileName(listedName);
  ServerSocket& socket = plugin.CreatePluginSocket();
  socket.client.SetHost("127.0.0.1");
  socket.client.SetPortNumber(port);
  socket.Activate({state.LoginUser, state.LoginPassword, disc, state.SelectedDiscName});
  return socket;
}

}  // namespace korvane::test

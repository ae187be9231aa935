// What the configuration dialog may do to the plugin, and all it sees of it: read and
// change the settings as one value, forget a deleted cache, reach the plugin link it sets
// up, and report errors to the user. The dialog knows neither the plugin's state nor its
// read path.
#pragma once

#include <functional>
#include <string>

#include "core/link/ServerLink.h"
#include "core/PluginSettings.h"
#include "core/base/UserErrors.h"

namespace korvane {

class SettingsPort {
 public:
  virtual ~SettingsPort() = default;

  // The settings as the dialog last set them.
  virtual PluginSettings Settings() const = 0;
  // The dialog's one way to change them: switches and numbers take effect at once, texts
  // by the next entry point that reads them.
  virtual void ChangeSettings(const std::function<void(PluginSettings&)>& change) = 0;
  // The cache whose .Block file had this name was deleted (the dialog's Delete).
  virtual void ForgetCacheFile(std::string blockName) = 0;
  // The folder, below the working directory, of the settings and block caches.
  virtual const std::string& GamesFolder() const = 0;

  // The current plugin link, or null before the first CreatePluginSocket.
  virtual ServerSocket* CurrentPluginSocket() = 0;
  // A new, inactive plugin link becomes the current one; the one it replaces is closed
  // and released once no read uses it.
  virtual ServerSocket& CreatePluginSocket() = 0;
  // Where errors meant for the user go.
  virtual UserErrorReporter& UserErrors() = 0;
};

}  // namespace korvane

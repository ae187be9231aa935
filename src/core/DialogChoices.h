// What the configuration dialog changes on the plugin, handed from the dialog's thread to
// the thread that calls the entry points. A host may run the dialog on its GUI thread while
// its emulation thread reads. Every change goes through Change, under a lock: the plugin's
// switches and numbers are atomic and take effect at once; the texts (the local file, the
// remote disc's name, the login and the file chooser's file name) and the requests to
// forget a deleted cache are recorded, and every entry point that reads the plugin's state
// applies them first, so that its strings are written only by the thread that uses them.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/PluginSettings.h"
#include "core/PluginState.h"

namespace korvane {

class DialogChoices final {
 public:
  struct Texts {
    std::string LocalImagePath;
    std::string SelectedDiscName;
    std::string LoginUser;
    std::string LoginPassword;
    std::string ImageFileChooser;
  };

  // The dialog's side. The settings as the dialog last set them, over state.
  PluginSettings Current(const PluginState& state) const;
  // Applies change to Current(state): switches and numbers to state at once, texts that
  // change recorded for the reading thread.
  void Change(PluginState& state, const std::function<void(PluginSettings&)>& change);
  // The cache whose .Block file had this name was deleted: its index must not be used.
  void ForgetCache(std::string blockName);

  // The reading side: applies the changes recorded since the last call to state, in
  // order, and calls forget with each deleted cache's name. Cheap when nothing changed.
  void ApplyTo(PluginState& state, const std::function<void(const std::string&)>& forget) {
    if (pending_.load(std::memory_order_acquire)) ApplyPending(state, forget);
  }

 private:
  enum Field : unsigned {
    kLocalImagePath = 1,
    kSelectedDiscName = 2,
    kLoginUser = 4,
    kLoginPassword = 8,
    kImageFileChooser = 16,
  };
  void ApplyPending(PluginState& state, const std::function<void(const std::string&)>& forget);

  mutable std::mutex lock_;
  Texts latest_;
  unsigned changed_ = 0;
  std::vector<std::string> forgotten_;
  std::atomic<bool> pending_{false};
};

}  // namespace korvane

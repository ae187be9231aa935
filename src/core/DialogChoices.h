// The texts that the configuration dialog chooses (the local file, the remote disc's name,
// the login and the file chooser's file name) and its requests to forget a deleted cache,
// handed from the dialog's thread to the thread that calls the entry points. A host may run
// the dialog on its GUI thread while its emulation thread reads: the dialog records each
// change here under a lock, and every entry point that reads the plugin's state applies
// the changes to it first, so that state is written only by the thread that uses it. The
// plugin's switches and numbers are atomic and set directly.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

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

  // The dialog's side: each records a change.
  void SetLocalImagePath(std::string path);
  void SetSelectedDiscName(std::string name);
  void SetLoginUser(std::string user);
  void SetLoginPassword(std::string password);
  void SetImageFileChooser(std::string name);
  // The cache whose .Block file had this name was deleted: its index must not be used.
  void ForgetCache(std::string blockName);
  // The texts as the dialog last set them.
  Texts Latest() const;

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
  template <typename Change>
  void Record(unsigned field, Change change);
  void ApplyPending(PluginState& state, const std::function<void(const std::string&)>& forget);

  mutable std::mutex lock_;
  Texts latest_;
  unsigned changed_ = 0;
  std::vector<std::string> forgotten_;
  std::atomic<bool> pending_{false};
};

}  // namespace korvane

// Handing the dialog's texts over to the reading thread.
#include "core/DialogChoices.h"

namespace korvane {

PluginSettings DialogChoices::Current(const PluginState& state) const {
  std::lock_guard<std::mutex> hold(lock_);
  PluginSettings settings;
  settings.remoteMode = state.RemoteMode;
  settings.debugTrace = state.DebugTrace;
  settings.diskType = state.DiskType;
  settings.selectedDiscIndex = state.SelectedDiscIndex;
  settings.localImagePath = latest_.LocalImagePath;
  settings.selectedDiscName = latest_.SelectedDiscName;
  settings.loginUser = latest_.LoginUser;
  settings.loginPassword = latest_.LoginPassword;
  settings.imageFileChooser = latest_.ImageFileChooser;
  return settings;
}

void DialogChoices::Change(PluginState& state, const std::function<void(PluginSettings&)>& change) {
  PluginSettings settings = Current(state);
  change(settings);
  std::lock_guard<std::mutex> hold(lock_);
  state.RemoteMode = settings.remoteMode;
  state.DebugTrace = settings.debugTrace;
  state.DiskType = settings.diskType;
  state.SelectedDiscIndex = settings.selectedDiscIndex;
  const auto take = [this](std::string& held, std::string& given, unsigned field) {
    if (held == given) return;
    held = std::move(given);
    changed_ |= field;
  };
  take(latest_.LocalImagePath, settings.localImagePath, kLocalImagePath);
  take(latest_.SelectedDiscName, settings.selectedDiscName, kSelectedDiscName);
  take(latest_.LoginUser, settings.loginUser, kLoginUser);
  take(latest_.LoginPassword, settings.loginPassword, kLoginPassword);
  take(latest_.ImageFileChooser, settings.imageFileChooser, kImageFileChooser);
  if (changed_ != 0) pending_.store(true, std::memory_order_release);
}

void DialogChoices::ForgetCache(std::string blockName) {
  std::lock_guard<std::mutex> hold(lock_);
  forgotten_.push_back(std::move(blockName));
  pending_.store(true, std::memory_order_release);
}

void DialogChoices::ApplyPending(PluginState& state,
                                 const std::function<void(const std::string&)>& forget) {
  std::vector<std::string> forgotten;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (changed_ & kLocalImagePath) state.LocalImagePath = latest_.LocalImagePath;
    if (changed_ & kSelectedDiscName) state.SelectedDiscName = latest_.SelectedDiscName;
    if (changed_ & kLoginUser) state.LoginUser = latest_.LoginUser;
    if (changed_ & kLoginPassword) state.LoginPassword = latest_.LoginPassword;
    if (changed_ & kImageFileChooser) state.ImageFileChooser = latest_.ImageFileChooser;
    changed_ = 0;
    forgotten.swap(forgotten_);
    pending_.store(false, std::memory_order_relaxed);
  }
  for (const std::string& name : forgotten) forget(name);
}

}  // namespace korvane

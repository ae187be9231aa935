// Handing the dialog's texts over to the reading thread.
#include "core/DialogChoices.h"

namespace korvane {

template <typename Change>
void DialogChoices::Record(unsigned field, Change change) {
  std::lock_guard<std::mutex> hold(lock_);
  change(latest_);
  changed_ |= field;
  pending_.store(true, std::memory_order_release);
}

void DialogChoices::SetLocalImagePath(std::string path) {
  Record(kLocalImagePath, [&](Texts& t) { t.LocalImagePath = std::move(path); });
}

void DialogChoices::SetSelectedDiscName(std::string name) {
  Record(kSelectedDiscName, [&](Texts& t) { t.SelectedDiscName = std::move(name); });
}

void DialogChoices::SetLoginUser(std::string user) {
  Record(kLoginUser, [&](Texts& t) { t.LoginUser = std::move(user); });
}

void DialogChoices::SetLoginPassword(std::string password) {
  Record(kLoginPassword, [&](Texts& t) { t.LoginPassword = std::move(password); });
}

void DialogChoices::SetImageFileChooser(std::string name) {
  Record(kImageFileChooser, [&](Texts& t) { t.ImageFileChooser = std::move(name); });
}

void DialogChoices::ForgetCache(std::string blockName) {
  std::lock_guard<std::mutex> hold(lock_);
  forgotten_.push_back(std::move(blockName));
  pending_.store(true, std::memory_order_release);
}

DialogChoices::Texts DialogChoices::Latest() const {
  std::lock_guard<std::mutex> hold(lock_);
  return latest_;
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

// The local cache panel of the "Config" dialog: the block caches in the settings folder,
// the size of the one picked, offline replay of it, and deletion of a cache with its index.
#pragma once

#include <string>

#include "dialogs/ConfigView.h"

namespace korvane {

class LocalPanel final {
 public:
  explicit LocalPanel(FormContext& form) : form_(form), controls_(form.controls) {}
  LocalPanel(const LocalPanel&) = delete;
  LocalPanel& operator=(const LocalPanel&) = delete;

  // Makes folder the working directory and lists the caches in it; throws IoError(3)
  // when folder cannot be entered.
  void PointLocalCacheList(const std::string& folder);
  // Picks cache index: its size on the bar, its index file as the local file.
  void LocalCacheListClick(int index);
  // A right button runs the list's popup menu, whose "Delete" runs Delete1Click.
  void LocalCacheListMouseDown(bool rightButton);
  // Deletes the picked cache and its index, and has the plugin forget them; throws when
  // nothing is picked.
  void Delete1Click();

 private:
  void ReadLocalCacheList();

  FormContext& form_;
  ConfigControls& controls_;
  std::string localCacheFolder_;
};

}  // namespace korvane

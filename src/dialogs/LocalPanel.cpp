// The local cache panel: the list of block caches read from its folder, what picking one
// does, and the deletion of one.
#include "dialogs/LocalPanel.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "dialogs/SettingsFiles.h"
#include "platform/FileSystem.h"
#include "platform/ReadOnlyFile.h"

namespace korvane {

namespace {
constexpr char kBlockExtension[] = ".block";  // compared ignoring letter case

bool HasBlockExtension(const std::string& name) {
  size_t n = sizeof kBlockExtension - 1;
  if (name.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(name[name.size() - n + i])) != kBlockExtension[i]) {
      return false;
    }
  }
  return true;
}

bool LessIgnoringCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) <
           std::tolower(static_cast<unsigned char>(y));
  });
}
}  // namespace

void LocalPanel::PointLocalCacheList(const std::string& folder) {
  std::string full = platform::FullPath(folder);
  if (full.empty() || !platform::SetWorkingDirectory(full)) throw IoError(3);
  localCacheFolder_ = full;
  ReadLocalCacheList();
}

void LocalPanel::ReadLocalCacheList() {
  platform::SetWorkingDirectory(localCacheFolder_);
  std::vector<std::string> names;
  for (const platform::FolderEntry& entry : platform::ListFolder(localCacheFolder_)) {
    if (!entry.folder && !entry.hidden && !entry.system && HasBlockExtension(entry.name)) {
      names.push_back(entry.name);
    }
  }
  std::sort(names.begin(), names.end(), LessIgnoringCase);
  controls_.localCacheList = std::move(names);
  controls_.localCacheSelection = -1;
  form_.Show(ConfigControl::kLocalCacheList);
}

void LocalPanel::LocalCacheListClick(int index) {
  if (index < 0 || static_cast<size_t>(index) >= controls_.localCacheList.size()) return;
  controls_.localCacheSelection = index;
  const std::string& name = controls_.localCacheList[static_cast<size_t>(index)];
  platform::ReadOnlyFile file;
  int64_t size =
      file.Open(localCacheFolder_ + "\\" + name, platform::ReadOnlyFile::Sharing::kShared)
          ? file.Size()
          : -1;
  if (size < 0) throw std::runtime_error("Cannot open file " + name);
  // A cache of 2 GiB or more, whose size no 32-bit position holds, shows a full bar.
  controls_.cachePercent = static_cast<int32_t>(std::min<int64_t>(size, kCachePercentMax));
  form_.Show(ConfigControl::kCachePercent);
  std::string path = localCacheFolder_ + "\\" + name;
  path = path.substr(0, path.size() - 6) + ".map";
  controls_.localFileText = path;
  form_.Show(ConfigControl::kLocalFileEdit);
  form_.plugin.ChangeSettings([&path](PluginSettings& s) { s.localImagePath = path; });
}

void LocalPanel::LocalCacheListMouseDown(bool rightButton) {
  if (rightButton && form_.view.PopupLocalFileMenu()) Delete1Click();
}

void LocalPanel::Delete1Click() {
  int index = controls_.localCacheSelection;
  if (index < 0 || static_cast<size_t>(index) >= controls_.localCacheList.size()) {
    throw std::runtime_error("List index out of bounds (" + std::to_string(index) + ")");
  }
  std::string name = controls_.localCacheList[static_cast<size_t>(index)];
  platform::DeleteFileAt(localCacheFolder_ + "\\" + name);
  platform::DeleteFileAt(localCacheFolder_ + "\\" + name.substr(0, name.size() - 5) + "map");
  // The plugin must not go on reading a deleted cache through its index: the files of
  // that name may be written anew. A read may be under way on another thread: the plugin
  // forgets the index at its next entry point.
  form_.plugin.ForgetCacheFile(name);
  ReadLocalCacheList();
}

}  // namespace korvane

// The paths of the block cache being played, made again only when their inputs change.
#include "core/CachePaths.h"

#include "core/BlockCache.h"
#include "core/DiscName.h"
#include "platform/FileSystem.h"

namespace korvane {

bool EnsureFolder(const std::string& folder) {
  return platform::FolderExists(folder) || platform::CreateFolder(folder);
}

void RemoteCachePaths::Refresh() {
  if (!blockPath_.empty() && folder_ == state_.GamesFolder && disc_ == state_.SelectedDiscName) {
    return;
  }
  folder_ = state_.GamesFolder;
  disc_ = state_.SelectedDiscName;
  // The disc name is made safe here, whoever set it: it must never reach outside the games
  // folder.
  const std::string stem = folder_ + "\\" + SafeFileName(disc_);
  blockPath_ = stem + ".Block";
  mapPath_ = stem + ".map";
}

const std::string& RemoteCachePaths::BlockPath() {
  Refresh();
  return blockPath_;
}

const std::string& RemoteCachePaths::MapPath() {
  Refresh();
  return mapPath_;
}

const std::string& RemoteCachePaths::Folder() {
  Refresh();
  return folder_;
}

void ReplayCachePaths::Refresh() {
  if (preparedFor_.empty() || state_.LocalImagePath != preparedFor_) {
    preparedFor_ = state_.LocalImagePath;
    blockPath_ = BlockCache::OfflineBlockPath(preparedFor_);
    // Once per replayed file is enough, not once per sector.
    EnsureFolder(state_.GamesFolder);
  }
}

const std::string& ReplayCachePaths::BlockPath() {
  Refresh();
  return blockPath_;
}

const std::string& ReplayCachePaths::MapPath() {
  Refresh();
  return preparedFor_;
}

}  // namespace korvane

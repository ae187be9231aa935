// The paths of the block cache being played, made again only when their inputs change.
#include "core/cache/CachePaths.h"

#include "core/cache/BlockCache.h"
#include "core/base/DiscName.h"
#include "platform/FileSystem.h"

namespace korvane {

bool EnsureFolder(const std::string& folder) {
  return platform::FolderExists(folder) || platform::CreateFolder(folder);
}

void RemoteCachePaths::Name(const std::string& folder, const std::string& disc) {
  if (named_ && folder == folder_ && disc == disc_) return;
  named_ = true;
  folder_ = folder;
  disc_ = disc;
  // The disc name is made safe here, whoever set it: it must never reach outside the games
  // folder.
  const std::string stem = folder_ + "\\" + SafeFileName(disc_);
  blockPath_ = stem + ".Block";
  mapPath_ = stem + ".map";
}

void ReplayCachePaths::Name(const std::string& gamesFolder, const std::string& mapPath) {
  folder_ = gamesFolder;
  mapPath_ = mapPath;
}

void ReplayCachePaths::Refresh() {
  if (preparedFor_.empty() || mapPath_ != preparedFor_) {
    preparedFor_ = mapPath_;
    blockPath_ = BlockCache::OfflineBlockPath(preparedFor_);
    // Once per replayed file is enough, not once per sector.
    EnsureFolder(folder_);
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

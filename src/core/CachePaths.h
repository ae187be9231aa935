// Where the block cache being played lies, asked for on every read and every append and
// made again only when what it depends on changes:
//   the remote disc's cache   <GamesFolder>\<SelectedDiscName>.Block and .map, the disc
//                             name made safe so that it never reaches outside the folder
//   a replayed cache          the .Block beside the .map that LocalImagePath names: the
//                             .map path cut at its first ".map", then ".Block"
#pragma once

#include <string>

#include "core/PluginState.h"

namespace korvane {

// Creates folder below the working directory unless a folder of that name exists; true
// when the folder exists afterwards.
bool EnsureFolder(const std::string& folder);

// The cache files that a cached source reads.
class CachePaths {
 public:
  virtual ~CachePaths() = default;
  // The .Block path of the cache being played.
  virtual const std::string& BlockPath() = 0;
  // The .map path of the cache being played: its index.
  virtual const std::string& MapPath() = 0;
};

class RemoteCachePaths final : public CachePaths {
 public:
  explicit RemoteCachePaths(const PluginState& state) : state_(state) {}
  const std::string& BlockPath() override;
  const std::string& MapPath() override;
  // The games folder both lie in.
  const std::string& Folder();

 private:
  void Refresh();

  const PluginState& state_;
  std::string folder_, disc_, blockPath_, mapPath_;
};

// Each new .map makes sure the games folder exists, although the replayed files need not
// lie in it.
class ReplayCachePaths final : public CachePaths {
 public:
  explicit ReplayCachePaths(const PluginState& state) : state_(state) {}
  const std::string& BlockPath() override;
  // LocalImagePath itself.
  const std::string& MapPath() override;
  // Forgets the prepared paths, so that the next read prepares them again.
  void Reset() { preparedFor_.clear(); }

 private:
  void Refresh();

  const PluginState& state_;
  std::string preparedFor_, blockPath_;
};

}  // namespace korvane

// Where the block cache being played lies, asked for on every read and every append and
// made again only when the names it is given change:
//   the remote disc's cache   <games folder>\<disc name>.Block and .map, the disc name
//                             made safe so that it never reaches outside the folder
//   a replayed cache          the .Block beside the replayed .map: the .map path cut at
//                             its first ".map", then ".Block"
#pragma once

#include <string>

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
  // The folder made, when missing, before the files are written.
  virtual const std::string& Folder() = 0;
};

class RemoteCachePaths final : public CachePaths {
 public:
  // The files of the disc of this name in the server's list, in folder; cheap when the
  // names are the ones given before.
  void Name(const std::string& folder, const std::string& disc);
  const std::string& BlockPath() override { return blockPath_; }
  const std::string& MapPath() override { return mapPath_; }
  // The games folder both lie in, and the disc's name as the server lists it.
  const std::string& Folder() override { return folder_; }
  const std::string& Disc() const { return disc_; }

 private:
  bool named_ = false;
  std::string folder_, disc_, blockPath_, mapPath_;
};

// Each new .map makes sure the games folder exists, although the replayed files need not
// lie in it.
class ReplayCachePaths final : public CachePaths {
 public:
  // The pair of the .map at mapPath; gamesFolder is made when a new .map is first used.
  void Name(const std::string& gamesFolder, const std::string& mapPath);
  const std::string& BlockPath() override;
  // The replayed .map's path itself.
  const std::string& MapPath() override;
  // The games folder.
  const std::string& Folder() override { return folder_; }
  // The .map path named, without preparing anything.
  const std::string& NamedMap() const { return mapPath_; }
  // Forgets the prepared paths, so that the next read prepares them again.
  void Reset() { preparedFor_.clear(); }

 private:
  void Refresh();

  std::string folder_, mapPath_, preparedFor_, blockPath_;
};

}  // namespace korvane

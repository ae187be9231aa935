// The table of the sources a read can go to, in the order that decides between them. Each
// entry says when it is chosen, the source its sectors come from, what CDVDopen and
// CDVDclose do to it, and how a read in a mode it does not serve is reported. CDVDopen
// prepares from the table, and the read dispatcher chooses from it on every read: adding a
// source is one entry (with its file pair, and the settings that pick it).
//
// The plugin's entries, in order (Plugin::ListSources):
//   remote   remote mode                                   the session's Remote()
//   replay   a local path naming a .map, when it exists    the session's Replay()
//   image    any other local path, when it exists          the ImageSource
//   null     everything else                               the NullSource
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/base/SectorSource.h"

namespace korvane {

// The settings a choice of source rests on.
struct SourceSettings {
  bool remote = false;
  std::string path;  // the local file: an image, or a .map to replay
};

struct SourceEntry {
  std::string name;
  // True when the settings pick this source.
  std::function<bool(const SourceSettings&)> wants;
  // Picked by the settings, it is read only while the local file exists (CDVDopen prepares
  // it all the same); otherwise the next entry that wants the settings is.
  bool needsFile = false;
  SectorSource* source = nullptr;
  // A source made for the entry alone, kept as long as the table (source points to it).
  std::shared_ptr<SectorSource> owned;
  // CDVDopen, for every entry: chosen says whether the next reads use this one.
  std::function<void(bool chosen, const SourceSettings&)> open;
  // CDVDclose, for every entry.
  std::function<void()> close;
  // True when the source holds the file at path open, so that it cannot vanish.
  std::function<bool(const std::string&)> holdsOpen;
  // A read in a mode the source does not serve: the lead of its trace line ("Mode[") and
  // the result CDVDreadTrack returns.
  std::string unsupportedLead = "Mode[";
  int32_t unsupportedResult = -1;
};

class SourceTable final {
 public:
  // Adds entry after those there: it is chosen only when none before it is.
  void Add(SourceEntry entry) { entries_.push_back(std::move(entry)); }
  // Adds entry at position at (0: before every other).
  void Insert(size_t at, SourceEntry entry);

  size_t Size() const { return entries_.size(); }
  const SourceEntry& At(size_t index) const { return entries_[index]; }

  // The entry settings pick, not asking whether any file exists; Size() when none does.
  size_t Wanted(const SourceSettings& settings) const;
  // True when an entry's source holds the file at path open.
  bool HoldsOpen(const std::string& path) const;

  // CDVDopen: opens every entry, the one settings pick as chosen.
  void OpenAll(const SourceSettings& settings);
  // CDVDclose: closes every entry.
  void CloseAll();

 private:
  std::vector<SourceEntry> entries_;
};

}  // namespace korvane

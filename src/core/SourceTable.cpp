// Finding the entry the settings pick, and opening and closing every entry.
#include "core/SourceTable.h"

#include <algorithm>

namespace korvane {

void SourceTable::Insert(size_t at, SourceEntry entry) {
  entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(std::min(at, entries_.size())),
                  std::move(entry));
}

size_t SourceTable::Wanted(const SourceSettings& settings) const {
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].wants && entries_[i].wants(settings)) return i;
  }
  return entries_.size();
}

bool SourceTable::HoldsOpen(const std::string& path) const {
  for (const SourceEntry& entry : entries_) {
    if (entry.holdsOpen && entry.holdsOpen(path)) return true;
  }
  return false;
}

void SourceTable::OpenAll(const SourceSettings& settings) {
  const size_t chosen = Wanted(settings);
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].open) entries_[i].open(i == chosen, settings);
  }
}

void SourceTable::CloseAll() {
  for (SourceEntry& entry : entries_) {
    if (entry.close) entry.close();
  }
}

}  // namespace korvane

// The plugin's table of sources: which there are, when each is chosen, what CDVDopen and
// CDVDclose do to it, and how a mode it does not serve is reported. A new source is one
// entry here: a function that describes it (and may make the source, which the entry then
// keeps), added to the list in the order of choice.
#include "core/Plugin.h"

namespace korvane {

namespace {

SourceEntry RemoteEntry(DiscSession& session) {
  SourceEntry entry;
  entry.name = "remote";
  entry.wants = [](const SourceSettings& s) { return s.remote; };
  entry.source = &session.Remote();
  entry.open = [&session](bool chosen, const SourceSettings&) {
    // Sectors of an earlier disc must never be served for the one prepared now; replay
    // reads through the same cache.
    session.Cache().Reader().Invalidate();
    if (chosen) session.OpenRemote();
  };
  entry.close = [&session] { session.Settle(); };
  // A remote read of a mode its cache holds an entry for counts as done.
  entry.unsupportedLead = "Block Mode[";
  entry.unsupportedResult = 0;
  return entry;
}

SourceEntry ReplayEntry(DiscSession& session) {
  SourceEntry entry;
  entry.name = "replay";
  entry.wants = [](const SourceSettings& s) { return !s.remote && IsCacheIndexPath(s.path); };
  entry.needsFile = true;
  entry.source = &session.Replay();
  entry.open = [&session](bool chosen, const SourceSettings&) {
    if (chosen) session.OpenReplay();
  };
  entry.unsupportedLead = "Block read from file Mode[";
  return entry;
}

SourceEntry ImageEntry(ImageSource& image, SectorBytes& buffer) {
  SourceEntry entry;
  entry.name = "image";
  entry.wants = [](const SourceSettings& s) {
    return !s.remote && !s.path.empty() && !IsCacheIndexPath(s.path);
  };
  entry.needsFile = true;
  entry.source = &image;
  entry.open = [&image, &buffer](bool chosen, const SourceSettings& s) {
    image.EmptyWindow();
    // An image an earlier CDVDopen left open is not held, without sharing, by a plugin
    // that now reads from elsewhere.
    if (chosen) {
      image.PrepareImage(s.path, buffer);
    } else {
      image.CloseImage();
    }
  };
  entry.close = [&image] { image.CloseImage(); };
  entry.holdsOpen = [&image](const std::string& path) { return image.HoldsOpen(path); };
  return entry;
}

SourceEntry NullEntry(NullSource& null) {
  SourceEntry entry;
  entry.name = "null";
  entry.wants = [](const SourceSettings&) { return true; };
  entry.source = &null;
  return entry;
}

}  // namespace

void Plugin::ListSources() {
  sources_.Add(RemoteEntry(session_));
  sources_.Add(ReplayEntry(session_));
  sources_.Add(ImageEntry(*image_, state_.SectorBuffer));
  sources_.Add(NullEntry(*null_));
}

}  // namespace korvane

// The FUSE file system: a read-only folder whose files are the mounted discs. Runs the mount
// until it is unmounted (fusermount3 -u) or the program gets SIGINT or SIGTERM, which
// unmount it cleanly.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mount/MountedDisc.h"

namespace korvane::mount {

struct MountSettings {
  std::string mountpoint;  // absolute
  bool foreground = false;
  bool debug = false;  // FUSE's own trace of each operation, too
  std::string source;  // what the system's mount table shows as the mounted thing
  std::vector<std::string> fuseOptions;     // -o options for FUSE, after the mount's own
  std::function<void()> leavingForeground;  // called once mounted, before the program
                                            // leaves the foreground (never with foreground)
};

// Checks what a mount needs before any is tried: /dev/fuse, and a mount point that is a
// folder and no mount already (nor a stale one, whose program died). "" when it can go on,
// else the one line that says why not.
std::string CheckMountable(const std::string& mountpoint);

// Mounts discs at settings.mountpoint and serves them until unmounted; 0, or 1 with why.
int ServeMount(const MountSettings& settings, std::vector<std::unique_ptr<MountedDisc>>& discs,
               std::string& why);

}  // namespace korvane::mount

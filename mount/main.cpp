// korvane-mount: a disc server's discs, or the block caches of a folder, as a read-only
// folder of image files for emulators that load no plugins. Everything before the mount
// (options, the mount point, the server's catalogue, the cache folder) fails with one line
// on standard error and exit status 1; once the mount has left the foreground, its lines go
// to the system log.
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/Trace.h"
#include "mount/CacheCatalog.h"
#include "mount/MountFs.h"
#include "mount/MountOptions.h"
#include "mount/MountedDisc.h"
#include "mount/ServerCatalog.h"
#include "platform/FileSystem.h"

namespace {

using namespace korvane;
using namespace korvane::mount;

constexpr std::string_view kOwnPrefix = "korvane-mount: ";

// The mount's lines, one whole line at a time from any thread: on standard error, or in the
// system log once the program has left the foreground, where standard error leads nowhere.
class LogOutput final : public TraceOutput {
 public:
  void Write(std::string_view text) override {
    std::lock_guard<std::mutex> hold(lock_);
    if (systemLog_) {
      ToSystemLog(text);
    } else {
      std::fwrite(text.data(), 1, text.size(), stderr);
    }
  }

  // Every line from now on goes to the system log, as the daemon korvane-mount.
  void UseSystemLog() {
    std::lock_guard<std::mutex> hold(lock_);
    ::openlog("korvane-mount", LOG_PID, LOG_DAEMON);
    systemLog_ = true;
  }

 private:
  // The log names the program itself, and ends the line: both go. The user's errors are
  // errors, the mount's own notices warnings, and the trace's lines information.
  static void ToSystemLog(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    int priority = LOG_INFO;
    if (text.rfind(kOwnPrefix, 0) == 0) {
      text.remove_prefix(kOwnPrefix.size());
      priority = LOG_WARNING;
    } else if (text.rfind("error: ", 0) == 0) {
      priority = LOG_ERR;
    }
    ::syslog(priority, "%.*s", static_cast<int>(text.size()), text.data());
  }

  std::mutex lock_;
  bool systemLog_ = false;
};

class LoggedErrors final : public UserErrorReporter {
 public:
  explicit LoggedErrors(Trace& trace) : trace_(trace) {}
  void ShowError(const std::string& message) override { trace_.Always("error: " + message); }

 private:
  Trace& trace_;
};

// Why sectors cannot be kept in folder ("" when they can): a small file is made, written
// and removed there, as an append would.
std::string CacheFolderProblem(const std::string& folder) {
  const std::string probe = folder + "/.korvane-mount-probe-" + std::to_string(::getpid());
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return std::strerror(errno);
  const std::vector<char> page(4096, 0);
  std::string why;
  if (::write(fd, page.data(), page.size()) != static_cast<ssize_t>(page.size())) {
    why = errno != 0 ? std::strerror(errno) : "a short write";
  }
  ::close(fd);
  ::unlink(probe.c_str());
  return why;
}

// Says why the mount cannot be made, before it is; the exit status.
int Fail(const std::string& why) {
  std::cerr << kOwnPrefix << why << "\n";
  return 1;
}

// The discs to show, from the server or from the cache folder; false with why.
bool Catalogue(const MountOptions& options, const MountContext& context,
               std::vector<std::unique_ptr<MountedDisc>>& discs, std::string& why) {
  if (options.offline) {
    std::vector<CachedDisc> cached;
    if (!ScanCacheFolder(context.cacheFolder, cached, why)) return false;
    for (const CachedDisc& disc : cached) {
      discs.push_back(MountedDisc::Offline(disc.fileName, disc.mapPath, disc.sectorCount,
                                           disc.sectorSize, context));
    }
    return true;
  }
  std::vector<ListedDisc> listed;
  std::vector<std::string> skipped;
  if (!FetchServerCatalog(context.login, kCatalogTimeoutMs, listed, skipped, why)) return false;
  for (const std::string& name : skipped) {
    std::cerr << kOwnPrefix << "not shown, its file name is taken or unusable: " << name << "\n";
  }
  for (const ListedDisc& disc : listed) discs.push_back(MountedDisc::Remote(disc, context));
  return true;
}

// path made absolute and normal, without a trailing slash.
std::string AbsolutePath(const std::string& path) {
  std::string absolute = std::filesystem::absolute(path).lexically_normal().string();
  if (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  return absolute;
}

// Makes the cache folder when it is missing (false, with why, when it cannot be made; made
// tells whether it was), and says so when it cannot be written: the mount then reads from
// the server each time.
bool PrepareCacheFolder(const std::string& cacheFolder, bool& made, std::string& why) {
  made = !platform::FolderExists(cacheFolder);
  if (!EnsureFolder(cacheFolder)) {
    why = "cannot create the cache folder " + cacheFolder;
    return false;
  }
  errno = 0;
  if (std::string problem = CacheFolderProblem(cacheFolder); !problem.empty()) {
    std::cerr << "korvane-mount: the cache folder " << cacheFolder << " cannot be written ("
              << problem << "): sectors are read from the server each time\n";
  }
  return true;
}

// What the system's mount table shows as the mounted thing: the server, or the folder.
std::string MountSource(const MountOptions& options, const std::string& cacheFolder) {
  return options.offline ? cacheFolder : options.host + ":" + std::to_string(options.port);
}

// Fetches the catalogue, prepares the cache folder and serves the mount until it ends.
int Run(const MountOptions& options, LogOutput& output) {
  // The mount runs from / once in the background: every path is made absolute first.
  const std::string mountpoint = AbsolutePath(options.mountpoint);
  const std::string cacheFolder = AbsolutePath(options.cacheFolder);
  std::string error = CheckMountable(mountpoint);
  if (!error.empty()) return Fail(error);
  std::atomic<bool> debug{options.debug};
  Trace trace(output, debug);
  LoggedErrors errors(trace);
  MountContext context{trace, errors,
                       ServerLogin{options.host, options.port, options.user, options.password},
                       cacheFolder};
  std::vector<std::unique_ptr<MountedDisc>> discs;
  if (!Catalogue(options, context, discs, error)) return Fail(error);
  // Only now: a login the server refuses leaves no empty cache folder behind.
  bool made = false;
  if (!options.offline && !PrepareCacheFolder(cacheFolder, made, error)) return Fail(error);
  std::cerr << kOwnPrefix << discs.size() << " discs of " << MountSource(options, cacheFolder)
            << " on " << mountpoint << "\n";
  MountSettings settings{mountpoint,          options.foreground,
                         options.debug,       MountSource(options, cacheFolder),
                         options.fuseOptions, [&output] { output.UseSystemLog(); }};
  if (ServeMount(settings, discs, error) == 0) return 0;
  if (made) ::rmdir(cacheFolder.c_str());  // removed only while it is still empty
  output.Write(std::string(kOwnPrefix) + error + "\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  MountOptions options;
  std::string error;
  switch (ParseMountOptions(argc, argv, std::getenv("KORVANE_PASSWORD"), options, error)) {
    case OptionsOutcome::kHelp:
      std::cout << MountHelpText();
      return 0;
    case OptionsOutcome::kError:
      return Fail(error + " (see --help)");
    case OptionsOutcome::kRun:
      break;
  }
  LogOutput output;
  return Run(options, output);
}

// The FUSE operations over the mounted discs, and the mount's life: mount, serve on
// several threads, unmount.
#define FUSE_USE_VERSION 35
#include "mount/MountFs.h"

#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace korvane::mount {

namespace {

struct Folder {
  std::vector<std::unique_ptr<MountedDisc>>* discs;
  time_t mountedAt;
  unsigned maxRead;  // -o max_read's bytes, which the connection must ask for too; 0 if none
};

Folder& TheFolder() { return *static_cast<Folder*>(fuse_get_context()->private_data); }

// The disc whose file path names ("/NAME"), or null.
MountedDisc* Find(const char* path) {
  if (path[0] != '/') return nullptr;
  for (auto& disc : *TheFolder().discs) {
    if (disc->FileName() == path + 1) return disc.get();
  }
  return nullptr;
}

int GetAttributes(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  st->st_uid = ::getuid();
  st->st_gid = ::getgid();
  st->st_mtime = st->st_ctime = st->st_atime = TheFolder().mountedAt;
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2;
    return 0;
  }
  MountedDisc* disc = Find(path);
  if (!disc) return -ENOENT;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = static_cast<off_t>(disc->Size());
  st->st_blksize = 128 * 1024;
  st->st_blocks = static_cast<blkcnt_t>((disc->Size() + 511) / 512);
  return 0;
}

int ReadFolder(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
               fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  for (auto& disc : *TheFolder().discs) {
    fill(buffer, disc->FileName().c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  }
  return 0;
}

int OpenFile(const char* path, fuse_file_info* file) {
  MountedDisc* disc = Find(path);
  if (!disc) return -ENOENT;
  if ((file->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  disc->Open();
  file->fh = reinterpret_cast<uint64_t>(disc);
  file->keep_cache = 1;  // the bytes never change while mounted
  return 0;
}

int ReadFile(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* file) {
  auto* disc = reinterpret_cast<MountedDisc*>(file->fh);
  if (offset < 0) return -EINVAL;
  long read = disc->Read(reinterpret_cast<uint8_t*>(buffer), size, static_cast<uint64_t>(offset));
  return static_cast<int>(read);
}

int ReleaseFile(const char*, fuse_file_info* file) {
  reinterpret_cast<MountedDisc*>(file->fh)->Release();
  return 0;
}

void* Start(fuse_conn_info* connection, fuse_config* config) {
  config->kernel_cache = 1;
  // FUSE ends the mount when the connection's largest read differs from the mount's.
  if (TheFolder().maxRead != 0) connection->max_read = TheFolder().maxRead;
  return fuse_get_context()->private_data;
}

fuse_operations Operations() {
  fuse_operations operations{};
  operations.init = Start;
  operations.getattr = GetAttributes;
  operations.readdir = ReadFolder;
  operations.open = OpenFile;
  operations.read = ReadFile;
  operations.release = ReleaseFile;
  return operations;
}

// True when one of options begins with prefix.
bool Given(const std::vector<std::string>& options, const std::string& prefix) {
  return std::any_of(options.begin(), options.end(),
                     [&](const std::string& option) { return option.rfind(prefix, 0) == 0; });
}

// The bytes of the last max_read= among options (checked digits), or 0.
unsigned MaxRead(const std::vector<std::string>& options) {
  constexpr std::string_view kName = "max_read=";
  unsigned bytes = 0;
  for (const std::string& option : options) {
    if (option.rfind(kName, 0) == 0) bytes = std::stoul(option.substr(kName.size()));
  }
  return bytes;
}

// FUSE's arguments: the program's name, then one -o of the options every mount has, the
// mount table's source and type unless the user named them, and the user's options last.
void AddArguments(const MountSettings& settings, fuse_args& args) {
  char* options = nullptr;
  fuse_opt_add_opt(&options, "ro,default_permissions");
  if (!Given(settings.fuseOptions, "fsname=")) {
    fuse_opt_add_opt_escaped(&options, ("fsname=" + settings.source).c_str());
  }
  if (!Given(settings.fuseOptions, "subtype=")) fuse_opt_add_opt(&options, "subtype=korvane-mount");
  for (const std::string& option : settings.fuseOptions) {
    fuse_opt_add_opt_escaped(&options, option.c_str());
  }
  fuse_opt_add_arg(&args, "korvane-mount");
  fuse_opt_add_arg(&args, "-o");
  fuse_opt_add_arg(&args, options);
  std::free(options);
  if (settings.debug) fuse_opt_add_arg(&args, "-d");
}

}  // namespace

std::string CheckMountable(const std::string& mountpoint) {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    return "no usable /dev/fuse: FUSE is not available here (load the fuse module, or give "
           "the container the device)";
  }
  struct stat point {}, parent {};
  if (::stat(mountpoint.c_str(), &point) != 0) {
    const int error = errno;
    if (error == ENOTCONN) {
      return "the mount point " + mountpoint + " is a stale mount (" + std::strerror(error) +
             "): unmount it with fusermount3 -u " + mountpoint;
    }
    if (error != ENOENT && error != ENOTDIR) {
      return "the mount point " + mountpoint + " cannot be reached (" + std::strerror(error) + ")";
    }
  }
  if (!S_ISDIR(point.st_mode)) return "the mount point " + mountpoint + " is no folder";
  if (::stat((mountpoint + "/..").c_str(), &parent) == 0 && parent.st_dev != point.st_dev) {
    return "the mount point " + mountpoint + " is busy: something is mounted there already";
  }
  return "";
}

int ServeMount(const MountSettings& settings, std::vector<std::unique_ptr<MountedDisc>>& discs,
               std::string& why) {
  Folder folder{&discs, std::time(nullptr), MaxRead(settings.fuseOptions)};
  fuse_args args = FUSE_ARGS_INIT(0, nullptr);
  AddArguments(settings, args);
  const fuse_operations operations = Operations();
  fuse* fs = fuse_new(&args, &operations, sizeof operations, &folder);
  fuse_opt_free_args(&args);
  if (!fs) {
    why = "FUSE refused its settings";
    return 1;
  }
  int result = 1;
  if (fuse_mount(fs, settings.mountpoint.c_str()) != 0) {
    why = "cannot mount on " + settings.mountpoint;
  } else {
    fuse_session* session = fuse_get_session(fs);
    if (!settings.foreground && settings.leavingForeground) settings.leavingForeground();
    fuse_daemonize(settings.foreground ? 1 : 0);
    fuse_set_signal_handlers(session);
    fuse_loop_config loop{};
    loop.clone_fd = 0;
    loop.max_idle_threads = 16;
    // Ended by SIGINT, SIGTERM or SIGHUP, the loop answers with the signal's number: that is
    // a clean end too.
    const int ended = fuse_loop_mt(fs, &loop);
    result = ended == 0 || ended == SIGINT || ended == SIGTERM || ended == SIGHUP ? 0 : 1;
    if (result != 0) why = "the mount ended with an error";
    fuse_remove_signal_handlers(session);
    fuse_unmount(fs);
  }
  fuse_destroy(fs);
  return result;
}

}  // namespace korvane::mount

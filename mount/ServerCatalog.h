// What a disc server offers, asked once when the mount starts: a connection of its own logs
// in, takes the disc list, asks every disc's size (the size query, which the plugin never
// sends), and closes. Each disc becomes a file named as the plugin names the disc's cache:
// the part of its listed name after the last backslash, made safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::mount {

struct ListedDisc {
  std::string listedName;  // as the server lists it
  std::string discName;    // the part after its last backslash: the plugin's disc name
  std::string fileName;    // discName made safe: the file's name, and its cache's stem
  int32_t index = 0;       // its place in the list
  uint64_t bytes = 0;      // the image's size on the server
  uint32_t sectorSize = 0;  // 2048, or 2352 for a raw image
};

struct ServerLogin {
  std::string host;
  uint16_t port = 0;
  std::string user;
  std::string password;
};

// How long the catalogue waits for the server at most, connect included.
inline constexpr int kCatalogTimeoutMs = 15000;

// Asks the server for its discs; false with a one-line reason (cannot connect, login
// refused, no answer, a server that cannot tell sizes). Discs whose file names another
// listed disc already has are left out, each named in skipped.
bool FetchServerCatalog(const ServerLogin& login, int timeoutMs, std::vector<ListedDisc>& discs,
                        std::vector<std::string>& skipped, std::string& why);

// The discs of a list and the size query's answer, as files: false with why when the
// answer does not cover the list.
bool NameListedDiscs(const std::vector<std::string>& names, const std::string& sizesText,
                     std::vector<ListedDisc>& discs, std::vector<std::string>& skipped,
                     std::string& why);

}  // namespace korvane::mount

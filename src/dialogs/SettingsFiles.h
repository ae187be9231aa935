// The configuration dialog's two settings files in the settings folder (GamesFolder below
// the working directory when the dialog opens; callers pass that folder's path, since the
// dialog changes the working directory). Neither has lines or keys: each is one run of fields,
// every field followed by a comma.
//
//   KorvaneCDVD.ini   address,port,user,password,local file,    e.g. "127.0.0.1,35000,,,"
//   ServerList.ini    the address history, oldest first: "a,,b,"
//
// Reading takes the text before each comma as the next field; bytes after the last comma
// are dropped, and so are fields past the fifth. Failures are reported with the I/O error
// text the user sees: "File access denied", or "I/O error N".
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane {

inline constexpr char kSettingsFileName[] = "KorvaneCDVD.ini";
inline constexpr char kServerListFileName[] = "ServerList.ini";
// What a missing settings file is created with: four fields, no local file.
inline constexpr char kDefaultSettings[] = "127.0.0.1,35000,,,";
inline constexpr size_t kSettingsFields = 5;

// A failed file operation, with the text the user is shown.
class IoError final : public std::runtime_error {
 public:
  explicit IoError(int code);
  int Code() const { return code_; }

 private:
  int code_;
};

// The text of a failed file operation's Windows error code.
std::string IoErrorText(int code);

// The fields of bytes: the text before each comma, in order, without the bytes after the
// last comma. At most maxFields are kept (0: all).
std::vector<std::string> SplitCommaFields(const std::string& bytes, size_t maxFields = 0);

// The fields joined, each followed by a comma.
std::string JoinCommaFields(const std::vector<std::string>& fields);

// The path "<folder>\<name>" of a settings file.
std::string SettingsPath(const std::string& folder, const char* name);

// The settings file's five fields by name. A field that the file does not hold (a file of
// fewer fields, or none) is absent, and the dialog leaves its control as it is.
struct DialogSettings {
  std::optional<std::string> address;
  std::optional<std::string> port;
  std::optional<std::string> user;
  std::optional<std::string> password;
  std::optional<std::string> localFile;
};

// The settings file's fields, or none when the file does not exist, in which case folder
// (one level, when missing) and the file with the default contents are created. Throws
// IoError when a file operation fails.
DialogSettings ReadSettingsFile(const std::string& folder, bool& existed);

// The address history, or nothing when the file does not exist. Throws IoError.
std::vector<std::string> ReadServerList(const std::string& folder);

// Writes the five fields as the settings file, an absent one as empty; on failure the old
// file stays as it was. Throws IoError.
void WriteSettingsFile(const std::string& folder, const DialogSettings& settings);

// Writes the address history; on failure the old file stays as it was. Throws IoError.
void WriteServerList(const std::string& folder, const std::vector<std::string>& entries);

}  // namespace korvane

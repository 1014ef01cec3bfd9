// The systemd user unit that mounts a drive at login: its name and its text. A mountpoint has one
// unit, `quorvelle-drive@<escaped path>.service`, the same name the packaged template
// `quorvelle-drive@.service` gives it, so that a unit made by `qdrive service install` (in the
// user's own unit folder, which systemd reads first) takes that template's place for its path.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace QuorvelleDrive::Qdrive {

// A path as `systemd-escape --path` writes it: "/home/me/My Drive" → "home-me-My\x20Drive".
std::string escapedPath(const std::filesystem::path& path);
// "quorvelle-drive@home-me-Quorvelle.service"
std::string unitNameFor(const std::filesystem::path& mountpoint);

// One word of an ExecStart= line, quoted and escaped so that systemd reads it back unchanged
// (quotes, backslashes, "%" specifiers and "$" variables included).
std::string execWord(const std::string& word);

struct UserUnit {
  std::filesystem::path mountpoint;
  std::vector<std::string> command;  // the program and its arguments, absolute paths throughout
  std::vector<std::pair<std::string, std::string>> environment;  // Environment= lines
};

// The first line of every unit that `qdrive service install` writes; `qdrive service remove`
// removes only files that start with it.
inline constexpr const char* kUnitMark = "# Made by `qdrive service install`;";

// The unit's text: Type=notify (the mount says READY once mounted), SIGTERM to the mount alone
// on stop (it unmounts, sends what is pending for up to 10 s, then stops the companion it
// started), restarted when it fails, wanted by the user's default target (so at login).
std::string unitText(const UserUnit& unit);

}  // namespace QuorvelleDrive::Qdrive

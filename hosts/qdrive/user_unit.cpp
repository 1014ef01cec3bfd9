#include "qdrive/user_unit.h"

#include <cctype>
#include <cstdio>
#include <sstream>

namespace QuorvelleDrive::Qdrive {

std::string escapedPath(const std::filesystem::path& path) {
  std::string text = path.lexically_normal().string();
  while (!text.empty() && text.back() == '/') text.pop_back();
  std::size_t start = text.find_first_not_of('/');
  if (start == std::string::npos) return "-";
  std::string out;
  for (std::size_t i = start; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool plain = std::isalnum(c) || c == ':' || c == '_' || (c == '.' && !out.empty());
    if (c == '/') {
      out += '-';
    } else if (plain) {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

std::string unitNameFor(const std::filesystem::path& mountpoint) {
  return "quorvelle-drive@" + escapedPath(mountpoint) + ".service";
}

namespace {

// One word for a line of a unit file: systemd reads quotes and backslashes as escapes and "%" as
// a specifier everywhere, and "$" as a variable in command lines only. Quoted only when needed.
std::string quoted(const std::string& word, bool inCommand) {
  bool quote = word.empty() || word.find_first_of(" \t\"'\\;") != std::string::npos;
  std::string out = quote ? "\"" : "";
  for (char c : word) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    if (c == '$' && inCommand) out += '$';
    out += c;
  }
  return quote ? out + "\"" : out;
}

std::string withoutSpecifiers(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '%' ? std::string("%%") : std::string(1, c);
  return out;
}

}  // namespace

std::string execWord(const std::string& word) {
  return quoted(word, true);
}

std::string unitText(const UserUnit& unit) {
  std::ostringstream text;
  text << kUnitMark << " `qdrive service remove " << unit.mountpoint.string() << "` removes it.\n"
       << "[Unit]\n"
       << "Description=Quorvelle Drive on " << withoutSpecifiers(unit.mountpoint.string()) << "\n"
       << "Documentation=man:qdrive(1)\n"
       << "# A mount that keeps failing (a mountpoint in use, say) is not started again for ever.\n"
       << "StartLimitIntervalSec=120\n"
       << "StartLimitBurst=5\n"
       << "\n"
       << "[Service]\n"
       << "Type=notify\n"
       << "NotifyAccess=main\n";
  for (const auto& [name, value] : unit.environment)
    text << "Environment=" << quoted(name + "=" + value, false) << "\n";
  text << "ExecStart=";
  for (std::size_t i = 0; i < unit.command.size(); ++i)
    text << (i ? " " : "") << execWord(unit.command[i]);
  text << "\n"
       << "# SIGTERM to the mount alone: it unmounts, sends what is pending for up to 10 s and\n"
       << "# then stops the companion it started.\n"
       << "KillMode=mixed\n"
       << "TimeoutStopSec=30\n"
       << "Restart=on-failure\n"
       << "RestartSec=10\n"
       << "\n"
       << "[Install]\n"
       << "WantedBy=default.target\n";
  return text.str();
}

}  // namespace QuorvelleDrive::Qdrive

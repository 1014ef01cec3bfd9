#include "qdrive/service_command.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "qdrive/report.h"
#include "qdrive/session.h"
#include "qdrive/user_unit.h"
#include "run_program.h"

namespace QuorvelleDrive::Qdrive {
namespace {

namespace fs = std::filesystem;

fs::path absolutePath(const std::string& text) {
  return fs::absolute(text).lexically_normal();
}

fs::path unitFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  fs::path base = config && *config ? fs::path(config) : fs::path(home ? home : "/") / ".config";
  return base / "systemd" / "user";
}

std::string number(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

// The mount's command line, as this invocation would run it, with every path made absolute (a
// service starts in the home folder).
std::vector<std::string> mountCommand(const Invocation& invocation) {
  const auto& options = invocation.options;
  const auto& a = invocation.arguments;
  std::error_code ec;
  auto self = fs::read_symlink("/proc/self/exe", ec);
  std::vector<std::string> command{ec ? "qdrive" : self.string(), "--group", options.group,
                                   "--domain", options.domain};
  if (options.containersRoot)
    command.insert(command.end(), {"--containers", absolutePath(*options.containersRoot)});
  if (options.timeoutSeconds)
    command.insert(command.end(), {"--timeout", number(*options.timeoutSeconds)});
  command.insert(command.end(),
                 {"mount", absolutePath(a.identifier), "--poll", number(a.pollSeconds)});
  if (a.noCompanion) command.push_back("--no-companion");
  if (a.store) command.insert(command.end(), {"--store", absolutePath(*a.store)});
  if (a.remote) command.insert(command.end(), {"--remote", *a.remote});
  if (a.netrc) command.insert(command.end(), {"--netrc", absolutePath(*a.netrc)});
  if (a.cacert) command.insert(command.end(), {"--cacert", absolutePath(*a.cacert)});
  if (a.remotePollSeconds)
    command.insert(command.end(), {"--remote-poll", number(*a.remotePollSeconds)});
  if (a.companion) command.insert(command.end(), {"--companion", absolutePath(*a.companion)});
  if (a.cacheSize) command.insert(command.end(), {"--cache-size", std::to_string(*a.cacheSize)});
  if (a.cacheMinFree)
    command.insert(command.end(), {"--cache-min-free", std::to_string(*a.cacheMinFree)});
  if (a.debug) command.push_back("--debug");
  return command;
}

// Where this shell keeps the drive's state and store, so that the service's mount and this
// user's `qdrive status` agree; unset ones follow the home folder, as for the service.
std::vector<std::pair<std::string, std::string>> locations() {
  std::vector<std::pair<std::string, std::string>> found;
  for (const char* name : {"XDG_STATE_HOME", "XDG_DATA_HOME"})
    if (const char* value = std::getenv(name); value && *value)
      found.emplace_back(name, absolutePath(value).string());
  return found;
}

int systemctl(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"systemctl", "--user"});
  return fuse::runToEnd(std::move(arguments));
}

bool madeByUs(const fs::path& file) {
  std::ifstream unit(file);
  std::string first;
  std::getline(unit, first);
  return first.starts_with(kUnitMark);
}

int install(const Invocation& invocation) {
  auto& report = invocation.report;
  auto mountpoint = absolutePath(invocation.arguments.identifier);
  if (invocation.arguments.daemon) {
    report.err() << "qdrive: a service keeps the mount in the foreground; leave out --daemon\n";
    return kUsageError;
  }
  if (mountpoint.string().find('\n') != std::string::npos) {
    report.err() << "qdrive: a mountpoint with a line break cannot go into a unit file\n";
    return kUsageError;
  }
  std::error_code ec;
  fs::create_directories(mountpoint, ec);
  fs::create_directories(unitFolder(), ec);
  auto name = unitNameFor(mountpoint);
  auto file = unitFolder() / name;
  if (fs::exists(file) && !madeByUs(file)) {
    report.err() << "qdrive: " << file.string() << " was not made by qdrive; leaving it alone\n";
    return kHostCallFailed;
  }
  std::ofstream(file, std::ios::trunc)
      << unitText({mountpoint, mountCommand(invocation), locations()});
  if (!std::ofstream(file, std::ios::app)) {
    report.err() << "qdrive: cannot write " << file.string() << "\n";
    return kHostCallFailed;
  }
  report.out() << "qdrive: wrote " << file.string() << "\n";
  if (systemctl({"daemon-reload"}) != 0 || systemctl({"enable", name}) != 0) {
    report.err() << "qdrive: no systemd user manager took it; at your next login run: "
                 << "systemctl --user enable --now '" << name << "'\n";
    return kHostCallFailed;
  }
  // `restart`, not `start`: a unit already running picks up the options just written.
  if (systemctl({"restart", name}) != 0) {
    report.err() << "qdrive: " << name << " is enabled but did not mount; what it said: "
                 << "journalctl --user -u '" << name << "'\n";
    return kHostCallFailed;
  }
  report.out() << "qdrive: " << mountpoint.string() << " is mounted by " << name
               << ", now and at every login (qdrive service remove " << mountpoint.string()
               << " undoes it)\n";
  return kSucceeded;
}

// The units this user has installed with qdrive.
std::vector<fs::path> installedUnits() {
  std::vector<fs::path> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(unitFolder(), ec)) {
    auto name = entry.path().filename().string();
    if (name.starts_with("quorvelle-drive@") && madeByUs(entry.path()))
      found.push_back(entry.path());
  }
  return found;
}

int remove(const Invocation& invocation) {
  auto& report = invocation.report;
  fs::path file;
  if (!invocation.arguments.identifier.empty()) {
    file = unitFolder() / unitNameFor(absolutePath(invocation.arguments.identifier));
    if (!fs::exists(file) || !madeByUs(file)) {
      report.err() << "qdrive: no drive service for " << invocation.arguments.identifier << " (no "
                   << file.string() << " made by qdrive)\n";
      return kHostCallFailed;
    }
  } else {
    auto units = installedUnits();
    if (units.size() != 1) {
      report.err() << "qdrive: " << (units.empty() ? "no drive service is installed" : "name one:");
      for (const auto& unit : units) report.err() << " " << unit.filename().string();
      report.err() << "\n";
      return units.empty() ? kHostCallFailed : kUsageError;
    }
    file = units.front();
  }
  auto name = file.filename().string();
  // Stopping unmounts, after the mount has sent what is pending (up to 10 s).
  bool stopped = systemctl({"disable", "--now", name}) == 0;
  std::error_code ec;
  fs::remove(file, ec);
  if (stopped) systemctl({"daemon-reload"});
  report.out() << "qdrive: removed " << file.string()
               << (stopped ? "; the drive is unmounted" : "; no systemd user manager answered")
               << "\n";
  return ec ? kHostCallFailed : kSucceeded;
}

}  // namespace

void declareService(CLI::App& command, Arguments& arguments) {
  command.require_subcommand(1);
  auto* install = command.add_subcommand(
      "install", "mount MOUNTPOINT now and at every login (a systemd user unit)");
  declareMountOptions(*install, arguments);
  install->callback([&arguments] { arguments.serviceAction = "install"; });
  auto* remove = command.add_subcommand("remove", "stop the drive's service and remove its unit");
  remove->add_option("MOUNTPOINT", arguments.identifier,
                     "the mountpoint it serves (may be left out when there is one)");
  remove->callback([&arguments] { arguments.serviceAction = "remove"; });
}

int runService(const Invocation& invocation) {
  if (invocation.arguments.serviceAction == "install") return install(invocation);
  return remove(invocation);
}

}  // namespace QuorvelleDrive::Qdrive

#include "bundled_companion.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>
#include <thread>

#include "mount_command.h"
#include "platform/file_manager.h"

namespace QuorvelleDrive::fuse {
namespace {

constexpr auto kStopGrace = std::chrono::seconds(10);

std::filesystem::path defaultStore() {
  const char* data = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  std::filesystem::path base = data && *data
                                   ? std::filesystem::path(data)
                                   : std::filesystem::path(home ? home : "/tmp") / ".local/share";
  return base / "quorvelle" / "store";
}

// Beside this program (an installed qdrive), then where the build tree puts it, then on PATH.
std::filesystem::path companionProgram(const MountSettings& s) {
  if (!s.companionBinary.empty()) return s.companionBinary;
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    auto folder = self.parent_path();
    for (const auto& candidate :
         {folder / "quorvelle-companion",
          folder.parent_path().parent_path() / "companion" / "quorvelle-companion"})
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "quorvelle-companion";
}

// The start time of `pid` in clock ticks since boot (field 22 of /proc/PID/stat), which tells
// a process from a later one that reuses its pid; nothing when there is no such process.
std::optional<std::string> startTimeOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  auto end = text.rfind(')');  // the command's name may hold spaces and parentheses
  if (end == std::string::npos) return std::nullopt;
  std::istringstream fields(text.substr(end + 1));
  std::string field;
  for (int index = 3; fields >> field; ++index)
    if (index == 22) return field;
  return std::nullopt;
}

// Through syscall(): glibc 2.36's <sys/pidfd.h> lacks C linkage for C++.
FileDescriptor openPidfd(pid_t pid) {
  return FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

void signalPidfd(int pidfd, int signal) {
  ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0);
}

// Waits until the process `pidfd` refers to has ended, for at most `limit`.
bool endedWithin(int pidfd, std::chrono::milliseconds limit) {
  pollfd p{pidfd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(limit.count())) > 0;
}

}  // namespace

bool companionAnswers(const std::filesystem::path& path) {
  FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string text = path.string();
  bool ok = text.size() < sizeof address.sun_path;
  if (ok) {
    std::memcpy(address.sun_path, text.data(), text.size());
    ok = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  return ok;
}

BundledCompanion::BundledCompanion(std::filesystem::path record) : record_(std::move(record)) {}

BundledCompanion::~BundledCompanion() {
  stop();
}

std::string BundledCompanion::servingFor(const MountSettings& s) {
  if (!s.remote.empty()) return s.remote;
  return std::filesystem::absolute(s.store.empty() ? defaultStore() : s.store)
      .lexically_normal()
      .string();
}

void BundledCompanion::own(pid_t pid, bool child) {
  pid_ = pid;
  child_ = child;
  pidfd_ = openPidfd(pid);
}

void BundledCompanion::remember(const std::string& serving) const {
  auto started = startTimeOf(pid_);
  if (!started) return;
  std::ofstream(record_, std::ios::trunc) << pid_ << " " << *started << "\n" << serving << "\n";
}

bool BundledCompanion::adoptLeftover(const std::string& serving, bool answers, std::ostream& out) {
  std::ifstream record(record_);
  pid_t pid = -1;
  std::string started, recorded;
  if (!(record >> pid >> started) || !std::getline(record >> std::ws, recorded)) return false;
  std::error_code ec;
  std::filesystem::remove(record_, ec);
  if (pid <= 0 || startTimeOf(pid) != started) return false;  // it ended; the pid is not its own
  if (answers && recorded == serving) {
    own(pid, false);
    remember(serving);
    out << "qdrive: adopted the bundled companion (pid " << pid << ") that an earlier mount left "
        << "serving " << serving << "\n";
    return true;
  }
  stopProcess(pid, openPidfd(pid).get(), false);
  out << "qdrive: stopped the bundled companion (pid " << pid << ") that an earlier mount left "
      << "serving " << recorded << "\n";
  return false;
}

bool BundledCompanion::start(const MountSettings& s, const std::filesystem::path& socket,
                             std::ostream& out, std::ostream& err) {
  auto program = companionProgram(s);
  std::vector<std::string> args{program.string(), "--group", s.group, "--containers",
                                FileManager::containersRoot().string()};
  std::string serving = servingFor(s);
  if (s.remote.empty()) {
    if (!std::filesystem::exists(serving)) {
      std::filesystem::create_directories(serving);
      std::ofstream(std::filesystem::path(serving) / "Welcome to Quorvelle Drive.txt")
          << "Files you put here appear in your Quorvelle Drive mount, and the other way "
             "round.\n";
    }
    args.insert(args.end(), {"--store", serving});
  } else {
    args.insert(args.end(), {"--remote", s.remote});
    if (!s.netrc.empty()) args.insert(args.end(), {"--netrc", s.netrc.string()});
    if (!s.cacert.empty()) args.insert(args.end(), {"--cacert", s.cacert.string()});
    if (s.remotePollSeconds)
      args.insert(args.end(), {"--remote-poll", std::to_string(*s.remotePollSeconds)});
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    // Its own process group, so that a Ctrl-C meant for the mount leaves it serving until
    // the mount has unmounted and sent what is pending; the mount then stops it.
    ::setpgid(0, 0);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  if (pid < 0) {
    err << "qdrive: cannot start the companion: " << std::strerror(errno) << "\n";
    return false;
  }
  own(pid, true);
  for (int i = 0; i < 100; ++i) {
    if (companionAnswers(socket)) {
      remember(serving);
      out << "qdrive: started the bundled companion over " << serving << "\n";
      return true;
    }
    if (endedWithin(pidfd_.get(), std::chrono::milliseconds(100))) break;
  }
  err << "qdrive: the companion (" << program.string() << ") did not start\n";
  stop();
  return false;
}

void BundledCompanion::stopProcess(pid_t pid, int pidfd, bool child) {
  if (pidfd >= 0) {
    signalPidfd(pidfd, SIGTERM);
    if (!endedWithin(pidfd, kStopGrace)) {
      signalPidfd(pidfd, SIGKILL);
      endedWithin(pidfd, kStopGrace);
    }
  } else if (child) {
    ::kill(pid, SIGTERM);  // no pidfd (an old kernel): our child cannot be another process
  }
  if (child) ::waitpid(pid, nullptr, 0);
}

void BundledCompanion::stop() {
  if (pid_ <= 0) return;
  stopProcess(pid_, pidfd_.get(), child_);
  pidfd_.reset();
  pid_ = -1;
  std::error_code ec;
  std::filesystem::remove(record_, ec);
}

}  // namespace QuorvelleDrive::fuse

#include "mount_command.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <ostream>
#include <thread>

#include "boundaries/file_provider_manager.h"
#include "cache_status.h"
#include "drive_state.h"
#include "extension/file_provider_extension.h"
#include "legacy_journal.h"
#include "mounted_domain.h"
#include "platform/bundle.h"
#include "platform/file_manager.h"
#include "platform/json.h"
#include "state_directory.h"

namespace QuorvelleDrive::fuse {
namespace {

void configurePlatform(const MountSettings& s) {
  Bundle::main().setInfoDictionary({{FileProviderExtension::kAppGroupKey, s.group}});
  if (!s.containers.empty()) FileManager::setContainersRoot(s.containers);
  DomainRegistry::shared().addDomain(Domain{s.domain, s.domain});
}

std::filesystem::path socketPath(const MountSettings& s) {
  return FileManager::containersRoot() / s.group / "drive.sock";
}

// A connection that is accepted means some companion is serving; it is closed at once.
bool companionAnswers(const std::filesystem::path& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string text = path.string();
  bool ok = text.size() < sizeof address.sun_path;
  if (ok) {
    std::memcpy(address.sun_path, text.data(), text.size());
    ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ::close(fd);
  return ok;
}

std::filesystem::path defaultStore() {
  const char* data = std::getenv("XDG_DATA_HOME");
  const char* home = std::getenv("HOME");
  std::filesystem::path base = data && *data
                                   ? std::filesystem::path(data)
                                   : std::filesystem::path(home ? home : "/tmp") / ".local/share";
  return base / "quorvelle" / "store";
}

std::filesystem::path companionProgram(const MountSettings& s) {
  if (!s.companionBinary.empty()) return s.companionBinary;
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  auto beside =
      self.parent_path().parent_path().parent_path() / "companion" / "quorvelle-companion";
  if (!ec && std::filesystem::exists(beside)) return beside;
  return "quorvelle-companion";
}

// The drive the bundled companion serves, named as it names it.
std::string requestedDrive(const MountSettings& s) {
  return s.remote.empty() ? driveOfStore(s.store.empty() ? defaultStore() : s.store) : s.remote;
}

// What the companion answering in `container` says it serves; one that has just started may not
// have said it yet.
std::optional<std::string> answeringDrive(const std::filesystem::path& container) {
  for (int i = 0; i < 10; ++i) {
    if (auto drive = publishedDrive(container)) return drive;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return std::nullopt;
}

bool hasSavedTree(const std::filesystem::path& state) {
  try {
    auto db = MountDatabase::openForReading(state / "mount.db");
    return db && !SavedTree(*db).empty();
  } catch (const std::exception&) {
    return false;
  }
}

// The bundled companion, started for the life of the mount.
class CompanionProcess {
 public:
  ~CompanionProcess() { stop(); }
  bool running() const { return pid_ > 0; }
  bool start(const MountSettings& s, std::ostream& out, std::ostream& err) {
    auto program = companionProgram(s);
    std::vector<std::string> args{program.string(), "--group", s.group, "--containers",
                                  FileManager::containersRoot().string()};
    std::string serving = s.remote;
    if (s.remote.empty()) {
      auto store = s.store.empty() ? defaultStore() : s.store;
      serving = store.string();
      if (!std::filesystem::exists(store)) {
        std::filesystem::create_directories(store);
        std::ofstream(store / "Welcome to Quorvelle Drive.txt")
            << "Files you put here appear in your Quorvelle Drive mount, and the other way "
               "round.\n";
      }
      args.insert(args.end(), {"--store", store.string()});
    } else {
      args.insert(args.end(), {"--remote", s.remote});
      if (!s.netrc.empty()) args.insert(args.end(), {"--netrc", s.netrc.string()});
      if (s.remotePollSeconds)
        args.insert(args.end(), {"--remote-poll", std::to_string(*s.remotePollSeconds)});
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      // Its own process group, so that a Ctrl-C meant for the mount leaves it serving until
      // the mount has unmounted and sent what is pending; the mount then stops it.
      ::setpgid(0, 0);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    if (pid_ < 0) {
      err << "qdrive: cannot start the companion: " << std::strerror(errno) << "\n";
      return false;
    }
    for (int i = 0; i < 100; ++i) {
      if (companionAnswers(socketPath(s))) {
        out << "qdrive: started the bundled companion over " << serving << "\n";
        return true;
      }
      int status;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    err << "qdrive: the companion (" << program.string() << ") did not start\n";
    stop();
    return false;
  }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// The extension puts fetched contents in its domain's temporary folder; the mount points that
// at its own state, which it alone empties.
class FetchedFolder {
 public:
  FetchedFolder(std::string domain, std::filesystem::path folder)
      : manager_(std::make_shared<Manager>(std::move(folder))) {
    DomainRegistry::shared().setLookup(
        [manager = manager_,
         domain = std::move(domain)](const Domain& asked) -> std::shared_ptr<FileProviderManager> {
          return asked.identifier == domain ? manager : nullptr;
        });
  }
  ~FetchedFolder() { DomainRegistry::shared().setLookup(nullptr); }
  FetchedFolder(const FetchedFolder&) = delete;
  FetchedFolder& operator=(const FetchedFolder&) = delete;

 private:
  struct Manager : FileProviderManager {
    explicit Manager(std::filesystem::path folder) : folder(std::move(folder)) {}
    std::filesystem::path temporaryDirectoryURL() const override {
      if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        throw cocoaError(errno == ENOSPC ? CocoaError::fileWriteOutOfSpace
                                         : CocoaError::fileWriteUnknown);
      return folder;
    }
    std::filesystem::path folder;
  };
  std::shared_ptr<Manager> manager_;
};

}  // namespace

int runMount(const MountSettings& s, std::ostream& out, std::ostream& err) {
  configurePlatform(s);
  // A container that is not this user's alone could be another user's stand-in companion.
  if (auto container = FileManager::defaultManager().lookUpContainer(s.group); !container.url) {
    err << "qdrive: no container for app group " << s.group << ": " << container.problem << "\n";
    return 1;
  }
  std::optional<StateDirectory> state;
  try {
    state.emplace(
        StateDirectory::acquire(StateDirectory::pathFor(s.group, s.domain), s.mountpoint));
  } catch (const std::exception& error) {
    err << "qdrive: " << error.what() << "\n";
    return 1;
  }
  FetchedFolder fetched(s.domain, state->fetched());
  CompanionProcess companion;
  bool answering = companionAnswers(socketPath(s));
  if (!answering && s.startCompanion) answering = companion.start(s, out, err);
  auto container = socketPath(s).parent_path();
  DriveStates drives(state->path());
  std::optional<std::string> drive;
  if (answering)
    drive = answeringDrive(container).value_or(companion.running() ? requestedDrive(s)
                                                                   : kUnidentifiedDrive);
  else
    drive = s.startCompanion ? requestedDrive(s) : drives.current();
  try {
    if (drive)
      if (auto aside = drives.bringIn(*drive))
        out << "qdrive: mounting " << *drive << "; the state of " << aside->drive << " ("
            << aside->pending << " change(s) pending) is kept aside for when it is mounted again\n";
  } catch (const std::exception& error) {
    err << "qdrive: " << error.what() << "\n";
    return 1;
  }
  if (!answering) {
    if (!drive || !hasSavedTree(state->path())) {
      if (!s.startCompanion)
        err << "qdrive: no companion answers at " << socketPath(s).string() << "\n";
      return 1;
    }
    out << "qdrive: no companion answers; " << *drive
        << " shows as last seen, offline (changes wait until its companion is back)\n";
  }
  out.flush();
  MountOptions options;
  options.mountpoint = s.mountpoint;
  options.outbox = state->outbox();
  options.journals = state->journals();
  options.timeout = s.timeout;
  options.poll = s.poll;
  options.debug = s.debug;
  options.kept = state->path();
  options.cache = CacheLimits::defaultsFor(state->path());
  if (s.cacheSize) options.cache.size = *s.cacheSize;
  if (s.cacheMinFree) options.cache.minFree = *s.cacheMinFree;
  options.offline = !answering;
  auto guard = std::make_shared<DriveGuard>(container, drive.value_or(kUnidentifiedDrive));
  options.sameDrive = [guard] { return guard->admits(); };
  auto extension = FileProviderExtension::create(Domain{s.domain, s.domain});
  auto outcome = RunOutcome::notMounted;
  std::vector<Entry> left;
  try {
    MountedDomain mounted(extension, options);
    outcome = mounted.run([&] {
      out << "qdrive: mounted domain \"" << s.domain << "\" on " << s.mountpoint.string()
          << (s.daemon ? " (in the background; fusermount3 -u to unmount)"
                       : " (Ctrl-C or fusermount3 -u to unmount)")
          << std::endl;
      if (s.daemon) fuse_daemonize(0);
    });
    left = mounted.pending();
  } catch (const std::exception& error) {
    err << "qdrive: " << error.what() << "\n";
  }
  if (!left.empty()) {
    err << "qdrive: " << left.size() << " change(s) still pending; they are kept and sent at "
        << "the next mount:\n";
    for (const auto& e : left)
      err << "  " << changeWord(e) << " " << e.place.name << ": " << Outbox::describe(e, left, "")
          << "\n";
  }
  switch (outcome) {
    case RunOutcome::unmounted:
      out << "qdrive: unmounted " << s.mountpoint.string() << std::endl;
      return 0;
    case RunOutcome::notMounted:
      err << "qdrive: could not mount " << s.mountpoint.string() << "\n";
      return 1;
    case RunOutcome::failed:
      break;
  }
  err << "qdrive: serving " << s.mountpoint.string() << " failed; it is unmounted\n";
  return 1;
}

namespace {

// A running mount may land a change (and remove its bytes) while this lists them.
std::optional<std::uintmax_t> stagedSize(const std::filesystem::path& outbox, const Entry& e) {
  if (!e.contents) return std::nullopt;
  std::error_code ec;
  auto size = std::filesystem::file_size(outbox / e.data, ec);
  return ec ? 0 : size;
}

struct Line {
  const char* change;
  std::string id;  // empty for an item made here
  std::string name;
  bool folder;
  std::optional<std::uintmax_t> size;
  std::string state;
  std::string error;
};

std::vector<Line> pendingLines(const std::filesystem::path& state) {
  std::vector<Line> lines;
  auto outbox = Outbox::read(state / "outbox");
  for (const auto& e : outbox.entries)
    lines.push_back({changeWord(e), Outbox::isProvisional(e.item) ? "" : e.item.rawValue(),
                     e.place.name, e.folder, stagedSize(state / "outbox", e),
                     Outbox::describe(e, outbox.entries, outbox.companionProblem), e.error});
  // Left by an earlier version; the next mount adopts them.
  for (const auto& journal : {state / "journal", state.parent_path() / "journal"})
    for (const auto& u : readLegacyJournal(journal)) {
      std::error_code ec;
      auto size = std::filesystem::file_size(u.data, ec);
      lines.push_back({"modify", u.id.rawValue(), u.name, false, ec ? 0 : size,
                       "waiting for the next mount", ""});
    }
  return lines;
}

}  // namespace

const char* changeWord(const Entry& e) {
  switch (e.change) {
    case Change::create:
      return "create";
    case Change::modify:
      return "modify";
    case Change::remove:
      return "delete";
  }
  return "change";
}

int printStatus(const MountSettings& s, bool asJSON, std::ostream& out,
                const std::vector<std::string>& paths) {
  configurePlatform(s);
  std::vector<Line> lines;
  CacheReport cache;
  try {
    lines = pendingLines(StateDirectory::pathFor(s.group, s.domain));
    cache = readCacheReport(StateDirectory::pathFor(s.group, s.domain), paths);
  } catch (const std::exception& error) {
    out << "qdrive: cannot read the mount's outbox: " << error.what() << "\n";
    return 1;
  }
  if (asJSON) {
    json::array pending;
    for (const auto& l : lines) {
      json::object entry{
          {"change", l.change},
          {"id", l.id.empty() ? json::value(nullptr) : json::value(decodeUTF8Lossy(l.id))},
          {"name", decodeUTF8Lossy(l.name)},
          {"folder", l.folder},
          {"state", l.state},
          {"error", l.error.empty() ? json::value(nullptr) : json::value(l.error)}};
      entry["size"] = l.size ? json::value(*l.size) : json::value(nullptr);
      pending.push_back(std::move(entry));
    }
    json::object report{{"pending", pending}};
    addTo(report, cache);
    out << writeJSON(report) << "\n";
    return 0;
  }
  if (lines.empty()) out << "no uploads pending\n";
  for (const auto& l : lines) {
    out << l.change << "  " << decodeUTF8Lossy(l.name) << (l.folder ? "/" : "");
    if (l.size) out << "  " << *l.size << " bytes";
    out << "  " << l.state << "\n";
  }
  print(out, cache);
  return 0;
}

}  // namespace QuorvelleDrive::fuse

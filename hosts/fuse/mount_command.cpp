#include "mount_command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <ostream>

#include "boundaries/file_provider_manager.h"
#include "bundled_companion.h"
#include "cache_status.h"
#include "dead_mount.h"
#include "drive_state.h"
#include "extension/file_provider_extension.h"
#include "fuse_device.h"
#include "legacy_journal.h"
#include "mounted_domain.h"
#include "pending_states.h"
#include "platform/bundle.h"
#include "platform/file_manager.h"
#include "platform/json.h"
#include "server_report.h"
#include "service_manager.h"
#include "state_directory.h"
#include "status_words.h"

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

// The drive the bundled companion serves, named as it names it.
std::string requestedDrive(const MountSettings& s) {
  return s.remote.empty() ? driveOfStore(BundledCompanion::servingFor(s)) : s.remote;
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
  if (auto problem = fuseDeviceProblem(); !problem.empty()) {
    err << "qdrive: " << problem << "\n";
    return 1;
  }
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
  if (!prepareMountpoint(s.mountpoint, out, err)) return 1;
  FetchedFolder fetched(s.domain, state->fetched());
  BundledCompanion companion(state->path() / "companion");
  bool answering = companionAnswers(socketPath(s));
  // A companion an earlier mount left is ours once adopted; one serving another drive is stopped.
  bool owned = companion.adoptLeftover(s.startCompanion ? BundledCompanion::servingFor(s) : "",
                                       answering, out);
  answering = owned || companionAnswers(socketPath(s));
  if (!answering && s.startCompanion)
    owned = answering = companion.start(s, socketPath(s), out, err);
  auto container = socketPath(s).parent_path();
  DriveStates drives(state->path());
  std::optional<std::string> drive;
  if (answering)
    drive = answeringDrive(container).value_or(owned ? requestedDrive(s) : kUnidentifiedDrive);
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
  options.space.emplace(container, drive.value_or(kUnidentifiedDrive), state->path());
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
      tellServiceManager("READY=1\nSTATUS=mounted on " + s.mountpoint.string());
    });
    left = mounted.pending();
  } catch (const std::exception& error) {
    err << "qdrive: " << error.what() << "\n";
  }
  if (!left.empty()) {
    err << "qdrive: " << left.size() << " change(s) still pending; they are kept and sent at "
        << "the next mount:\n";
    PendingStates states(left, "", false);
    for (const auto& e : left)
      err << "  " << changeWord(e) << " " << e.place.name << ": " << states.describe(e) << "\n";
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

std::vector<Line> pendingLines(const std::filesystem::path& state, bool mounted,
                               const std::optional<ServerState>& server) {
  std::vector<Line> lines;
  auto outbox = Outbox::read(state / "outbox");
  PendingStates states(outbox.entries, outbox.companionProblem, mounted, server);
  for (const auto& e : outbox.entries)
    lines.push_back({changeWord(e), Outbox::isProvisional(e.item) ? "" : e.item.rawValue(),
                     e.place.name, e.folder, stagedSize(state / "outbox", e), states.describe(e),
                     e.error});
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
  auto state = StateDirectory::pathFor(s.group, s.domain);
  bool mounted = StateDirectory::liveMount(state).has_value();
  auto server = readServerReport(socketPath(s).parent_path());
  auto serverNow = server ? std::optional(serverState(*server)) : std::nullopt;
  try {
    lines = pendingLines(state, mounted, serverNow);
    cache = readCacheReport(state, paths);
    if (!mounted) cache.offlineSince.reset();  // a note a killed mount left
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
    json::object status{{"pending", pending}, {"mounted", mounted}};
    addTo(status, cache);
    if (server) status["server"] = *server;
    out << writeJSON(status) << "\n";
    return 0;
  }
  if (server) printServerReport(*server, out);
  if (!mounted)
    out << (lines.empty() ? "not mounted; nothing kept for the next mount\n"
                          : "not mounted; kept for the next mount:\n");
  // Nothing to send says nothing of whether this machine sees the drive as it is now.
  bool silent = mounted && serverNow && !serverNow->answering;
  if (mounted && lines.empty())
    out << "no uploads pending"
        << (silent ? "; offline: " + outageWords(*serverNow, std::time(nullptr)) : std::string())
        << "\n";
  for (const auto& l : lines) {
    out << l.change << "  " << decodeUTF8Lossy(l.name) << (l.folder ? "/" : "");
    if (l.size) out << "  " << *l.size << " bytes";
    out << "  " << l.state << "\n";
  }
  print(out, cache);
  return 0;
}

}  // namespace QuorvelleDrive::fuse

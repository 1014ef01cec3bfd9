#include "drive_state.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "outbox.h"
#include "platform/json.h"

namespace QuorvelleDrive::fuse {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRecord = "drive";

std::string wholeFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// FNV-1a: a short, stable folder name for any drive name (paths and URLs may be long).
std::string keyOf(const std::string& drive) {
  std::uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : drive) hash = (hash ^ c) * 1099511628211ull;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

bool processRuns(std::int64_t pid) {
  return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

void moveIfThere(const fs::path& from, const fs::path& to) {
  if (::rename(from.c_str(), to.c_str()) == 0 || errno == ENOENT) return;
  throw std::runtime_error("cannot move " + from.string() + " to " + to.string() + ": " +
                           std::strerror(errno));
}

std::size_t pendingIn(const fs::path& state) {
  try {
    return Outbox::read(state / "outbox").entries.size();
  } catch (const std::exception&) {
    return 0;
  }
}

struct Published {
  std::string drive;
  std::int64_t pid = 0;
};

std::optional<Published> readPublished(const fs::path& container) {
  try {
    auto value = readJSON(wholeFile(container / "drive.json"));
    const auto& object = value.as_object();
    const auto* drive = object.if_contains("drive");
    const auto* pid = object.if_contains("pid");
    if (!drive || !drive->is_string() || !pid || !pid->is_int64()) return std::nullopt;
    return Published{std::string(drive->as_string()), pid->as_int64()};
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<std::string> publishedDrive(const fs::path& container) {
  auto published = readPublished(container);
  // A file whose writer is gone was left by a companion that died.
  if (!published || !processRuns(published->pid)) return std::nullopt;
  return published->drive;
}

bool DriveGuard::admits() {
  struct stat st {};
  std::lock_guard lock(mutex_);
  if (::stat((container_ / "drive.json").c_str(), &st) != 0) {
    seen_ = {};
  } else {
    long long mtime = st.st_mtim.tv_sec * 1'000'000'000ll + st.st_mtim.tv_nsec;
    if (st.st_ino != seen_.inode || mtime != seen_.mtime) {
      auto published = readPublished(container_);
      seen_ = {st.st_ino, mtime, published ? std::optional(published->drive) : std::nullopt,
               published ? published->pid : 0};
    }
  }
  auto answering =
      seen_.drive && processRuns(seen_.pid) ? *seen_.drive : std::string(kUnidentifiedDrive);
  return answering == drive_;
}

std::string driveOfStore(const fs::path& store) {
  std::error_code ec;
  auto canonical = fs::weakly_canonical(fs::absolute(store), ec);
  return (ec ? fs::absolute(store).lexically_normal() : canonical).string();
}

const std::vector<std::string>& DriveStates::parts() {
  static const std::vector<std::string> names{"outbox", "cache", "mount.db", "mount.db-wal",
                                              "mount.db-shm"};
  return names;
}

std::optional<std::string> DriveStates::current() const {
  std::error_code ec;
  if (!fs::exists(state_ / kRecord, ec)) return std::nullopt;
  return wholeFile(state_ / kRecord);
}

fs::path DriveStates::asideFolder(const std::string& drive) const {
  return state_ / "other" / keyOf(drive);
}

void DriveStates::record(const std::string& drive) const {
  auto temporary = state_ / (std::string(kRecord) + ".new");
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << drive;
    if (!out.flush()) throw std::runtime_error("cannot write " + temporary.string());
  }
  moveIfThere(temporary, state_ / kRecord);
}

// The record in place names the state in place until that state is all aside; the record of
// the drive coming in is written before its parts arrive. So a state found without a record
// is one that no drive was ever recorded for (an earlier version's), which the drive mounted
// now adopts.
std::optional<DriveStates::Aside> DriveStates::bringIn(const std::string& drive) {
  auto was = current();
  std::optional<Aside> aside;
  if (was && *was != drive) {
    auto folder = asideFolder(*was);
    fs::create_directories(folder);
    ::chmod(folder.parent_path().c_str(), 0700);
    for (const auto& part : parts()) moveIfThere(state_ / part, folder / part);
    moveIfThere(state_ / kRecord, folder / kRecord);
    aside = Aside{*was, pendingIn(folder)};
  }
  if (was != drive) record(drive);
  auto folder = asideFolder(drive);
  std::error_code ec;
  if (fs::exists(folder, ec)) {
    for (const auto& part : parts()) moveIfThere(folder / part, state_ / part);
    fs::remove(folder / kRecord, ec);
    fs::remove(folder, ec);
  }
  return aside;
}

std::vector<DriveStates::Aside> DriveStates::others() const {
  std::vector<Aside> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(state_ / "other", ec)) {
    if (!fs::exists(entry.path() / kRecord)) continue;
    found.push_back({wholeFile(entry.path() / kRecord), pendingIn(entry.path())});
  }
  return found;
}

}  // namespace QuorvelleDrive::fuse

#include "cache_status.h"

#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>

#include "mount_database.h"
#include "pins.h"
#include "saved_tree.h"

namespace QuorvelleDrive::fuse {
namespace {

std::optional<std::int64_t> number(MountDatabase& db, const char* key) {
  auto text = db.note(key);
  if (!text) return std::nullopt;
  try {
    return std::stoll(*text);
  } catch (...) {
    return std::nullopt;
  }
}

std::string localTime(std::int64_t seconds) {
  auto t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

}  // namespace

std::string sizeText(std::int64_t bytes) {
  static const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  double value = static_cast<double>(bytes);
  int unit = -1;
  while (value >= 1024 && unit < 3) value /= 1024, ++unit;
  char text[32];
  std::snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, units[unit]);
  return text;
}

std::optional<std::string> pathStatus(const std::string& path, std::string* why) {
  char value[512];
  ssize_t n = ::getxattr(path.c_str(), "user.quorvelle.status", value, sizeof value);
  if (n >= 0) return std::string(value, static_cast<std::size_t>(n));
  if (why)
    *why = errno == ENOTSUP || errno == ENODATA ? "not in a Quorvelle Drive mount"
                                                : std::strerror(errno);
  return std::nullopt;
}

CacheReport readCacheReport(const std::filesystem::path& state,
                            const std::vector<std::string>& paths) {
  CacheReport report;
  report.otherDrives = DriveStates(state).others();
  for (const auto& path : paths) {
    std::string why;
    auto status = pathStatus(path, &why);
    report.paths.push_back({path, status ? *status : why, status.has_value()});
  }
  auto db = MountDatabase::openForReading(state / "mount.db");
  if (!db) return report;
  std::set<ItemIdentifier> pins = Pins::read(*db);
  SavedTree tree(*db);
  for (const auto& id : pins) {
    auto path = tree.pathOf(id);
    report.pinned.push_back(path ? "/" + *path : "(an item not listed yet: " + id.rawValue() + ")");
  }
  auto lock = db->lock();
  Statement sums(db->db(), "SELECT count(*), coalesce(sum(size), 0) FROM copies");
  while (sums.step()) report.files = sums.integer(0), report.bytes = sums.integer(1);
  report.limit = number(*db, "cache_size");
  report.minFree = number(*db, "cache_min_free");
  report.offlineSince = number(*db, "offline_since");
  return report;
}

void addTo(json::object& out, const CacheReport& report) {
  json::object cache{{"bytes", report.bytes}, {"files", report.files}};
  cache["limit"] = report.limit ? json::value(*report.limit) : json::value(nullptr);
  cache["minFree"] = report.minFree ? json::value(*report.minFree) : json::value(nullptr);
  out["cache"] = std::move(cache);
  json::array pinned;
  for (const auto& path : report.pinned) pinned.push_back(json::value(decodeUTF8Lossy(path)));
  out["pinned"] = std::move(pinned);
  out["offlineSince"] =
      report.offlineSince ? json::value(*report.offlineSince) : json::value(nullptr);
  json::array others;
  for (const auto& other : report.otherDrives)
    others.push_back(
        json::object{{"drive", decodeUTF8Lossy(other.drive)}, {"pending", other.pending}});
  out["otherDrives"] = std::move(others);
  json::array paths;
  for (const auto& p : report.paths) {
    json::object entry{{"path", decodeUTF8Lossy(p.path)}};
    entry["state"] = p.known ? json::value(p.state) : json::value(nullptr);
    if (!p.known) entry["error"] = p.state;
    paths.push_back(std::move(entry));
  }
  out["paths"] = std::move(paths);
}

void print(std::ostream& out, const CacheReport& report) {
  out << "cache: " << sizeText(report.bytes) << " in " << report.files << " file(s)";
  if (report.limit) out << " of at most " << sizeText(*report.limit);
  if (report.minFree) out << ", keeping " << sizeText(*report.minFree) << " free";
  out << "\n";
  for (const auto& path : report.pinned) out << "pinned: " << decodeUTF8Lossy(path) << "\n";
  if (report.offlineSince)
    out << "offline since " << localTime(*report.offlineSince)
        << " (the companion is out of reach)\n";
  for (const auto& other : report.otherDrives)
    if (other.pending)
      out << other.pending << " change(s) wait for another drive, " << decodeUTF8Lossy(other.drive)
          << ": they are sent when it is mounted again\n";
  for (const auto& p : report.paths) out << decodeUTF8Lossy(p.path) << ": " << p.state << "\n";
}

}  // namespace QuorvelleDrive::fuse

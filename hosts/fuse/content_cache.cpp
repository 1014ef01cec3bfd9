#include "content_cache.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "platform/uuid.h"

namespace QuorvelleDrive::fuse {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kGiB = 1ll << 30;

std::int64_t sizeOf(const fs::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

std::int64_t nowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

CacheLimits CacheLimits::defaultsFor(const fs::path& folder) {
  struct statvfs st {};
  if (::statvfs(folder.c_str(), &st) != 0) return {kGiB, 0};
  auto block = static_cast<std::int64_t>(st.f_frsize);
  auto available = static_cast<std::int64_t>(st.f_bavail) * block;
  auto total = static_cast<std::int64_t>(st.f_blocks) * block;
  return {std::min(10 * kGiB, available / 4), std::min(kGiB, total / 20)};
}

ContentCache::ContentCache(MountDatabase& db, fs::path folder, CacheLimits limits)
    : db_(db), folder_(std::move(folder)), limits_(limits) {
  std::error_code ec;
  fs::create_directories(folder_, ec);
  if (ec || ::chmod(folder_.c_str(), 0700) != 0)
    throw std::runtime_error("cannot use " + folder_.string() + ": " +
                             (ec ? ec.message() : std::strerror(errno)));
  load();
}

void ContentCache::load() {
  auto lock = db_.lock();
  std::vector<ItemIdentifier> damaged;
  {
    Statement query(db_.db(), "SELECT item, version, file, size, used, pinned FROM copies");
    while (query.step()) {
      ItemIdentifier id(query.bytes(0));
      Copy copy{query.bytes(1),   query.bytes(2),        query.integer(3),
                query.integer(4), query.integer(5) != 0, false};
      clock_ = std::max(clock_, copy.used);
      // A copy cut short, grown, or removed by hand is fetched again rather than served.
      bool whole =
          copy.file.find('/') == std::string::npos && sizeOf(folder_ / copy.file) == copy.size;
      if (!whole) damaged.push_back(id);
      bytes_ += copy.size;
      copies_.emplace(std::move(id), std::move(copy));
    }
  }
  lock.unlock();
  for (const auto& id : damaged) forget(id);
  std::unordered_map<std::string, bool> named;
  for (const auto& [_, copy] : copies_) named[copy.file] = true;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder_, ec))
    if (!named.count(entry.path().filename().string())) fs::remove_all(entry.path(), ec);
}

std::optional<fs::path> ContentCache::lookup(const ItemIdentifier& id, const std::string& version) {
  auto it = copies_.find(id);
  if (it == copies_.end()) return std::nullopt;
  Copy& copy = it->second;
  if (copy.version != version || sizeOf(folder_ / copy.file) != copy.size) {
    forget(id);  // an older version, or damaged since the start
    return std::nullopt;
  }
  copy.used = clock_ = std::max(nowMicros(), clock_ + 1);
  copy.usedChanged = true;
  return folder_ / copy.file;
}

fs::path ContentCache::adopt(const fs::path& file, const ItemIdentifier& id,
                             const std::string& version, bool pinned) {
  auto size = sizeOf(file);
  if (size < 0) throw std::system_error(errno ? errno : ENOENT, std::generic_category());
  std::string name = randomUUIDString();
  auto kept = folder_ / name;
  // Recorded before it is in place: a crash between leaves a record whose file is missing,
  // which the next start drops.
  Copy copy{version, name, size, clock_ = std::max(nowMicros(), clock_ + 1), pinned, false};
  {
    auto lock = db_.lock();
    Statement(db_.db(), "INSERT OR REPLACE INTO copies VALUES(?,?,?,?,?,?)")
        .bind(id.rawValue())
        .bind(copy.version)
        .bind(copy.file)
        .bind(copy.size)
        .bind(copy.used)
        .bind(std::int64_t{pinned})
        .run();
  }
  if (::rename(file.c_str(), kept.c_str()) != 0) {
    int err = errno;
    auto lock = db_.lock();
    Statement(db_.db(), "DELETE FROM copies WHERE item = ?").bind(id.rawValue()).run();
    throw std::system_error(err, std::generic_category());
  }
  auto old = copies_.find(id);
  if (old != copies_.end()) {
    bytes_ -= old->second.size;
    std::error_code ec;
    fs::remove(folder_ / old->second.file, ec);
    copies_.erase(old);
  }
  bytes_ += size;
  copies_.emplace(id, std::move(copy));
  return kept;
}

// The record goes first: when it cannot (a full disk), the copy stays as it was.
void ContentCache::release(const ItemIdentifier& id) {
  auto it = copies_.find(id);
  if (it == copies_.end()) return;
  {
    auto lock = db_.lock();
    Statement(db_.db(), "DELETE FROM copies WHERE item = ?").bind(id.rawValue()).run();
  }
  bytes_ -= it->second.size;
  copies_.erase(it);
}

void ContentCache::drop(const ItemIdentifier& id) {
  forget(id);
}

// The file goes first: on a full disk the record may not be removable, and a record whose file
// is missing is dropped at the next start anyway.
void ContentCache::forget(const ItemIdentifier& id) {
  auto it = copies_.find(id);
  if (it == copies_.end()) return;
  std::error_code ec;
  fs::remove(folder_ / it->second.file, ec);
  bytes_ -= it->second.size;
  copies_.erase(it);
  try {
    auto lock = db_.lock();
    Statement(db_.db(), "DELETE FROM copies WHERE item = ?").bind(id.rawValue()).run();
  } catch (...) {
    // Dropped at the next start: its file is gone.
  }
}

void ContentCache::setPinned(const ItemIdentifier& id, bool pinned) {
  auto it = copies_.find(id);
  if (it == copies_.end() || it->second.pinned == pinned) return;
  {
    auto lock = db_.lock();
    Statement(db_.db(), "UPDATE copies SET pinned = ? WHERE item = ?")
        .bind(std::int64_t{pinned})
        .bind(id.rawValue())
        .run();
  }
  it->second.pinned = pinned;
}

std::optional<std::string> ContentCache::versionOf(const ItemIdentifier& id) const {
  auto it = copies_.find(id);
  if (it == copies_.end()) return std::nullopt;
  return it->second.version;
}

std::vector<ItemIdentifier> ContentCache::items() const {
  std::vector<ItemIdentifier> out;
  out.reserve(copies_.size());
  for (const auto& [id, _] : copies_) out.push_back(id);
  return out;
}

std::int64_t ContentCache::freeSpace() const {
  struct statvfs st {};
  if (::statvfs(folder_.c_str(), &st) != 0) return INT64_MAX;
  return static_cast<std::int64_t>(st.f_bavail) * static_cast<std::int64_t>(st.f_frsize);
}

std::vector<ItemIdentifier> ContentCache::evict(
    std::int64_t incoming, const std::function<bool(const ItemIdentifier&)>& inUse) {
  std::int64_t free = freeSpace();
  // bytes_ falls as copies go; the free space was measured before.
  auto fits = [&](std::int64_t dropped) {
    return bytes_ + incoming <= limits_.size && free + dropped - incoming >= limits_.minFree;
  };
  std::vector<ItemIdentifier> gone;
  if (fits(0)) return gone;
  std::vector<std::pair<std::int64_t, ItemIdentifier>> candidates;
  for (const auto& [id, copy] : copies_)
    if (!copy.pinned) candidates.emplace_back(copy.used, id);
  std::sort(candidates.begin(), candidates.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::int64_t dropped = 0;
  for (const auto& [_, id] : candidates) {
    if (fits(dropped)) break;
    if (inUse && inUse(id)) continue;
    dropped += copies_.at(id).size;
    forget(id);
    gone.push_back(id);
  }
  return gone;
}

void ContentCache::flush() {
  bool any = std::any_of(copies_.begin(), copies_.end(),
                         [](const auto& entry) { return entry.second.usedChanged; });
  if (!any) return;
  auto lock = db_.lock();
  Transaction transaction(db_.db());
  Statement update(db_.db(), "UPDATE copies SET used = ? WHERE item = ?");
  for (auto& [id, copy] : copies_)
    if (copy.usedChanged) update.bind(copy.used).bind(id.rawValue()).run();
  transaction.commit();
  for (auto& [_, copy] : copies_) copy.usedChanged = false;
}

}  // namespace QuorvelleDrive::fuse

// Fetched contents kept across unmounts and reboots: one clean copy per item in the state's
// `cache/` folder, recorded in the mount's database with the content version it holds, its
// size, its last use and whether a pin keeps it. A copy is served only when its record and the
// file agree (a crash, a half-written or a hand-deleted copy is dropped, never served), and
// only for the version it holds. Copies that hold changes not yet sent are not here: those live
// in the outbox until their change has landed, and come back as clean copies then.
//
// Bounded: eviction drops the least recently used copies that are neither pinned nor open,
// until the copies fit `size` and the disk keeps `minFree` bytes free.
//
// Not thread-safe: the mount holds its lock around every call.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "boundaries/item_identifier.h"
#include "mount_database.h"

namespace QuorvelleDrive::fuse {

struct CacheLimits {
  std::int64_t size = 0;     // bytes of clean copies kept once closed
  std::int64_t minFree = 0;  // bytes the disk keeps free
  // The defaults where `folder` lives: the smaller of 10 GiB and a quarter of the free space;
  // and the smaller of 1 GiB and a twentieth of the file system.
  static CacheLimits defaultsFor(const std::filesystem::path& folder);
};

class ContentCache {
 public:
  // Loads the records; drops those whose file is missing or of another size, and files that no
  // record names (left by a crash between the two).
  ContentCache(MountDatabase& db, std::filesystem::path folder, CacheLimits limits);

  const std::filesystem::path& folder() const { return folder_; }
  const CacheLimits& limits() const { return limits_; }
  bool holds(const std::filesystem::path& file) const { return file.parent_path() == folder_; }

  // The kept copy of `id` when it holds `version` whole (its use is noted); a copy of another
  // version is dropped.
  std::optional<std::filesystem::path> lookup(const ItemIdentifier& id, const std::string& version);
  // Takes `file` (on the same file system) as the clean copy of `id` at `version` and returns
  // where it now is; the copy `id` had goes. Throws when it cannot be recorded (the file stays).
  std::filesystem::path adopt(const std::filesystem::path& file, const ItemIdentifier& id,
                              const std::string& version, bool pinned);
  // The copy of `id` leaves the cache without being removed (it is about to be written, and the
  // outbox takes it). Throws when that cannot be recorded; the copy is then still kept.
  void release(const ItemIdentifier& id);
  // Drops the copy of `id`, file and record.
  void drop(const ItemIdentifier& id);
  void setPinned(const ItemIdentifier& id, bool pinned);
  std::optional<std::string> versionOf(const ItemIdentifier& id) const;
  std::vector<ItemIdentifier> items() const;

  // Copies to drop so that `incoming` more bytes fit: least recently used first, never one that
  // is pinned or for which `inUse` says yes. Drops them (files and records) and returns them.
  std::vector<ItemIdentifier> evict(std::int64_t incoming,
                                    const std::function<bool(const ItemIdentifier&)>& inUse);
  std::int64_t bytes() const { return bytes_; }
  std::size_t count() const { return copies_.size(); }
  // Writes the last uses noted since the last flush.
  void flush();

 private:
  struct Copy {
    std::string version;
    std::string file;
    std::int64_t size = 0;
    std::int64_t used = 0;
    bool pinned = false;
    bool usedChanged = false;
  };
  void load();
  void forget(const ItemIdentifier& id);
  std::int64_t freeSpace() const;

  MountDatabase& db_;
  std::filesystem::path folder_;
  CacheLimits limits_;
  std::unordered_map<ItemIdentifier, Copy> copies_;
  std::int64_t bytes_ = 0;
  std::int64_t clock_ = 0;  // orders uses; seeded from the largest one recorded
};

}  // namespace QuorvelleDrive::fuse

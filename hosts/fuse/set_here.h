// Times and modes set on this machine. The companion's protocol carries neither, so what
// `touch`, `rsync -a`, `cp -a`, `tar` or `chmod` set is kept in the mount's database, per item
// and the content version it was set on: while the item still holds that version (or, for bytes
// written here, until they land as a version of their own) the mount shows it, across
// remounts; a new version from elsewhere shows the companion's time again.
//
// Not thread-safe: the mount holds its lock around every call.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <optional>
#include <string>
#include <unordered_map>

#include "boundaries/item_identifier.h"
#include "mount_database.h"

namespace QuorvelleDrive::fuse {

class SetHere {
 public:
  // The version of bytes written here that have not landed yet.
  static constexpr const char* kPending = "\xFFpending";

  explicit SetHere(MountDatabase& db);

  struct Set {
    std::string version;  // the content version it was set on, or kPending
    std::optional<timespec> atime;
    std::optional<timespec> mtime;
    std::optional<mode_t> mode;  // permission bits
  };
  // What was set on `id` and still holds for `version`.
  const Set* find(const ItemIdentifier& id, const std::string& version) const;

  // Times or a mode set on `id`, whose bytes are `version` now.
  void setTimes(const ItemIdentifier& id, const std::string& version, std::optional<timespec> atime,
                std::optional<timespec> mtime);
  void setMode(const ItemIdentifier& id, const std::string& version, mode_t mode);
  // New bytes written here: the time set before gives way to the write's; a mode stays.
  void written(const ItemIdentifier& id);
  // Bytes written here landed as `version` under `to` (the companion's identifier for an item
  // made here).
  void landed(const ItemIdentifier& from, const ItemIdentifier& to, const std::string& version);
  // What was set on `from` now belongs to `to` (a save by rename), and `to`'s own goes.
  void moveTo(const ItemIdentifier& from, const ItemIdentifier& to);
  void forget(const ItemIdentifier& id);

 private:
  void save(const ItemIdentifier& id, const Set& set);

  MountDatabase& db_;
  std::unordered_map<ItemIdentifier, Set> sets_;
};

}  // namespace QuorvelleDrive::fuse

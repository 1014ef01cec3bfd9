// What the user asked to keep on this machine: files, and folders with everything in them now
// and later. Pins name items by identifier, so they follow renames and moves, and they last
// across mounts in the mount's database.
//
// Not thread-safe: the mount holds its lock around every call.
#pragma once

#include <set>

#include "boundaries/item_identifier.h"
#include "mount_database.h"

namespace QuorvelleDrive::fuse {

class Pins {
 public:
  explicit Pins(MountDatabase& db);

  bool has(const ItemIdentifier& id) const { return pins_.count(id) > 0; }
  const std::set<ItemIdentifier>& all() const { return pins_; }
  bool empty() const { return pins_.empty(); }
  void add(const ItemIdentifier& id);
  void remove(const ItemIdentifier& id);
  // An item made here got the companion's identifier.
  void renamed(const ItemIdentifier& from, const ItemIdentifier& to);

  // Read by another process (`qdrive status`).
  static std::set<ItemIdentifier> read(MountDatabase& db);

 private:
  MountDatabase& db_;
  std::set<ItemIdentifier> pins_;
};

}  // namespace QuorvelleDrive::fuse

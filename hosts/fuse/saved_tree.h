// The last tree the mount listed, kept in its database (ids, names, parents, kinds, sizes,
// times, versions, and each folder's anchor), so that a mount that finds no companion at start
// still shows the drive as it last saw it. What pending changes did to the tree is in the
// outbox and is laid over it as over any listing.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "host_bridge.h"
#include "mount_database.h"

namespace QuorvelleDrive::fuse {

class SavedTree {
 public:
  explicit SavedTree(MountDatabase& db) : db_(db) {}

  // A folder's listing replaces what was kept of it, unless this run kept the same listing of
  // it already (a folder listed again because the domain's anchor moved elsewhere). Thread-safe.
  void save(const ItemIdentifier& folder, const SyncAnchor& anchor,
            const std::vector<ItemPtr>& items);

  // What the mount learnt of one item since its folder was listed (a change of its that landed,
  // a fetch that brought a newer version), or that it is gone: so that the tree kept matches
  // the copies kept even when no listing follows before the mount ends. Thread-safe.
  void note(const ItemPtr& item);
  void forget(const ItemIdentifier& id);

  struct Listing {
    SyncAnchor anchor;
    std::vector<ItemPtr> items;
  };
  // Every folder kept, by identifier.
  std::map<ItemIdentifier, Listing> load();
  bool empty();
  // The kept item, when there is one.
  ItemPtr find(const ItemIdentifier& id);
  // The names from the root down to `id` ("" when it is the root; nothing when it is not kept).
  std::optional<std::string> pathOf(const ItemIdentifier& id);

 private:
  void forgetRow(const ItemIdentifier& id);

  MountDatabase& db_;
  std::unordered_map<ItemIdentifier, std::size_t> kept_;  // with db_.lock(): each listing's hash
};

// An item as the tree kept it.
ItemPtr keptItem(ItemIdentifier id, ItemIdentifier parent, std::string name, std::string type,
                 std::optional<std::int64_t> size, double modified, double created,
                 ItemVersion version, ItemCapabilities capabilities);

}  // namespace QuorvelleDrive::fuse

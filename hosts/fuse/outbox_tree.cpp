// What the uploader's answers change in the tree: identifiers that replace provisional ones,
// versions that landed, places the uploader chose (a free name, a surviving ancestor), and
// local copies no change needs any more. Called by the uploader with mutex_ held.
#include "mounted_domain.h"

namespace QuorvelleDrive::fuse {

// The inode stays; only the identifier behind it changes.
void MountedDomain::created(const ItemIdentifier& provisional, const ItemPtr& item) {
  Node* node = table_.byIdentifier(provisional);
  if (!node) return;
  table_.reidentify(node->ino, item->itemIdentifier());
  node->item = item;
  // A folder made here was never listed at the companion and has no anchor to poll with.
  if (node->folder) node->stale = true;
  if (!node->folder) {
    node->base = item->itemVersion();
    keepInTree(item);  // a folder made here has no listing kept to show it with
  }
  landedHere(*node, provisional);
}

void MountedDomain::modified(const ItemIdentifier& id, const ItemPtr& item, bool fetchAgain) {
  Node* node = table_.byIdentifier(id);
  if (!node) return;
  node->item = item;
  keepInTree(item);
  if (!fetchAgain) {
    node->base = item->itemVersion();
    landedHere(*node, id);
    return;
  }
  // The companion kept its own bytes (ours are beside them as a conflict copy): the next open
  // fetches them, unless changes made here since are still to go.
  if (!holdsLocalChanges(*node)) table_.setLocal(*node, {});
  post({{Notice::Inode, 0, node->ino, {}}});
}

void MountedDomain::changedIn(const ItemIdentifier& folder) {
  if (Node* node = table_.byIdentifier(folder)) ++node->localChanges;
}

void MountedDomain::placed(const ItemIdentifier& id, const Place& place) {
  Node* node = table_.byIdentifier(id);
  if (!node || node->parent == 0) return;
  fuse_ino_t from = node->parent;
  std::string name = node->name;
  Node* to = table_.byIdentifier(place.parent);
  std::vector<Notice> notices{{Notice::Entry, from, 0, name}};
  if (to && to->listed && !table_.child(to->ino, place.name)) {
    table_.move(node->ino, from, name, to->ino, place.name, wallClock());
    notices.push_back({Notice::Entry, to->ino, 0, place.name});
  } else {
    node->name = place.name;  // out of sight until that folder is listed
    table_.detach(from, name, wallClock());
  }
  post(std::move(notices));
}

std::optional<ItemIdentifier> MountedDomain::parentOf(const ItemIdentifier& folder) {
  Node* node = table_.byIdentifier(folder);
  Node* parent = node ? table_.find(node->parent) : nullptr;
  if (!parent) return std::nullopt;
  return parent->id;
}

bool MountedDomain::taken(const ItemIdentifier& folder, const std::string& name) {
  Node* node = table_.byIdentifier(folder);
  return node && table_.child(node->ino, name) != 0;
}

void MountedDomain::relist(const ItemIdentifier& folder) {
  if (Node* node = table_.byIdentifier(folder)) node->stale = true;
}

void MountedDomain::unused(const std::vector<std::string>& data) {
  for (const auto& name : data) discard(outbox_->pathOf(name));
}

}  // namespace QuorvelleDrive::fuse

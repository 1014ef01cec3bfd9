#include "inode_table.h"

#include <unistd.h>

#include <utility>

#include "errno_map.h"
#include "platform/content_type.h"

namespace QuorvelleDrive::fuse {

bool isFolder(const ItemPtr& item) {
  auto type = item ? item->contentType() : std::nullopt;
  return type && type->conforms(ContentType::folder());
}

void removeQuietly(const std::filesystem::path& path) {
  std::error_code ec;
  if (!path.empty()) std::filesystem::remove(path, ec);
}

InodeTable::InodeTable(std::function<void(const std::filesystem::path&)> discard)
    : discard_(std::move(discard)) {
  Node& root = nodes_[FUSE_ROOT_ID];
  root.ino = FUSE_ROOT_ID;
  root.id = rootContainerItemIdentifier();
  root.folder = true;
  root.lookups = 1;
  byId_.emplace(root.id, FUSE_ROOT_ID);
}

Node* InodeTable::find(fuse_ino_t ino) {
  auto it = nodes_.find(ino);
  return it == nodes_.end() ? nullptr : &it->second;
}

const Node* InodeTable::find(fuse_ino_t ino) const {
  auto it = nodes_.find(ino);
  return it == nodes_.end() ? nullptr : &it->second;
}

Node* InodeTable::byIdentifier(const ItemIdentifier& id) {
  auto it = byId_.find(id);
  return it == byId_.end() ? nullptr : find(it->second);
}

fuse_ino_t InodeTable::child(fuse_ino_t folder, const std::string& name) const {
  const Node* node = find(folder);
  if (!node) return 0;
  auto it = node->children.find(name);
  return it == node->children.end() ? 0 : it->second;
}

Node& InodeTable::adopt(const ItemPtr& item, fuse_ino_t parent) {
  auto id = item->itemIdentifier();
  Node* node = byIdentifier(id);
  if (!node) {
    fuse_ino_t ino = nextIno_++;
    node = &nodes_[ino];
    node->ino = ino;
    node->id = id;
    node->times = NodeTimes::from(item->contentModificationDate());
    byId_.emplace(id, ino);
  }
  node->item = item;
  node->parent = parent;
  node->name = item->filename();
  node->folder = isFolder(item);
  return *node;
}

Node& InodeTable::make(const ItemIdentifier& id, bool folder, const timespec& now) {
  fuse_ino_t ino = nextIno_++;
  Node& node = nodes_[ino];
  node.ino = ino;
  node.id = id;
  node.folder = folder;
  node.times = {now, now, now};
  byId_[id] = ino;
  return node;
}

void InodeTable::setLocal(Node& node, std::filesystem::path local) {
  if (node.local == local) return;
  node.unrecorded = false;
  auto old = std::exchange(node.local, std::move(local));
  if (!node.local.empty()) ++locals_[node.local.string()];
  if (old.empty()) return;
  auto it = locals_.find(old.string());
  if (it != locals_.end() && --it->second <= 0) locals_.erase(it);
  if (discard_) discard_(old);
}

bool InodeTable::usesLocal(const std::filesystem::path& local) const {
  return locals_.count(local.string()) > 0;
}

namespace {

// Times follow a new version of an item that was known before.
bool followVersion(Node& node, const ItemPtr& before, const ItemPtr& item, const timespec& now) {
  if (!before || before->itemVersion() == item->itemVersion()) return false;
  bool contents = before->itemVersion().contentVersion != item->itemVersion().contentVersion;
  if (contents)
    node.times.mtime =
        later(node.times.mtime, NodeTimes::from(item->contentModificationDate()).mtime);
  node.times.changed(now);
  return contents;
}

}  // namespace

bool InodeTable::update(Node& node, const ItemPtr& item, const timespec& now) {
  return followVersion(node, std::exchange(node.item, item), item, now);
}

void InodeTable::attach(fuse_ino_t folder, const std::string& name, fuse_ino_t ino,
                        const timespec& now) {
  Node* f = find(folder);
  Node* n = find(ino);
  if (!f || !n) return;
  f->children[name] = ino;
  ++f->localChanges;
  f->times.modified(now);
  n->parent = folder;
  n->name = name;
  n->times.changed(now);
}

void InodeTable::detach(fuse_ino_t folder, const std::string& name, const timespec& now) {
  fuse_ino_t ino = child(folder, name);
  if (!ino) return;
  Node* f = find(folder);
  f->children.erase(name);
  ++f->localChanges;
  f->times.modified(now);
  Node* n = find(ino);
  n->parent = 0;
  n->times.changed(now);
  forgetIfUnused(ino);
}

void InodeTable::move(fuse_ino_t ino, fuse_ino_t from, const std::string& name, fuse_ino_t to,
                      const std::string& newName, const timespec& now) {
  if (Node* f = find(from)) {
    f->children.erase(name);
    ++f->localChanges;
    f->times.modified(now);
  }
  attach(to, newName, ino, now);
}

void InodeTable::reidentify(fuse_ino_t ino, const ItemIdentifier& id) {
  Node* node = find(ino);
  if (!node) return;
  auto held = byId_.find(node->id);
  if (held != byId_.end() && held->second == ino) byId_.erase(held);
  node->id = id;
  auto [it, fresh] = byId_.try_emplace(id, ino);
  if (fresh || it->second == ino) return;
  // Another node showed the item already (a listing that came before its creation was
  // recorded): it makes way.
  fuse_ino_t other = std::exchange(it->second, ino);
  Node* o = find(other);
  if (!o) return;
  o->id = ItemIdentifier(std::string("\0superseded:", 12) + std::to_string(other));
  if (Node* folder = find(o->parent)) {
    auto child = folder->children.find(o->name);
    if (child != folder->children.end() && child->second == other) folder->children.erase(child);
  }
  o->parent = 0;
  forgetIfUnused(other);
}

void InodeTable::forgetIfUnused(fuse_ino_t ino) {
  Node* node = find(ino);
  if (!node || ino == FUSE_ROOT_ID || node->lookups > 0 || node->parent != 0 || node->writers > 0)
    return;
  setLocal(*node, {});
  auto held = byId_.find(node->id);
  if (held != byId_.end() && held->second == ino) byId_.erase(held);
  nodes_.erase(ino);
}

void InodeTable::applyListing(fuse_ino_t folderIno, SyncAnchor anchor,
                              const std::vector<ItemPtr>& items, const Outbox& outbox,
                              std::vector<Notice>* notices) {
  if (!find(folderIno)) return;
  auto now = wallClock();
  auto tell = [&](Notice notice) {
    if (notices) notices->push_back(std::move(notice));
  };
  std::map<std::string, fuse_ino_t> fresh;
  for (const auto& item : items) {
    if (!isUsableName(item->filename()) || fresh.count(item->filename())) continue;
    Node* known = byIdentifier(item->itemIdentifier());
    ItemPtr before = known ? known->item : nullptr;
    bool versionChanged = before && before->itemVersion() != item->itemVersion();
    bool pinned = outbox.placement(item->itemIdentifier()).has_value();
    if (pinned && !known) continue;  // placed elsewhere, or removed, by pending changes
    Node& node = pinned ? *known : adopt(item, folderIno);
    if (followVersion(node, before, item, now))
      tell({Notice::Inode, 0, node.ino, {}});
    else if (versionChanged)
      tell({Notice::Attributes, 0, node.ino, {}});
    if (pinned)
      node.item = item;  // where it is stays as the pending changes have it
    else
      fresh.emplace(item->filename(), node.ino);
  }
  Node& folder = nodes_[folderIno];
  pinChildren(folder, outbox, fresh, now);
  auto old = std::move(folder.children);
  // A file still open for writing stays until it is closed (its changes may not be recorded).
  for (const auto& [name, ino] : old) {
    Node* n = find(ino);
    if (n && n->writers > 0 && n->parent == folderIno && !fresh.count(name))
      fresh.emplace(name, ino);
  }
  if (folder.listed && old != fresh) {
    folder.times.mtime = later(folder.times.mtime, now);
    folder.times.changed(now);
    tell({Notice::Attributes, 0, folderIno, {}});
  }
  folder.children = fresh;
  folder.listed = true;
  folder.stale = false;
  folder.anchor = std::move(anchor);
  for (const auto& [name, ino] : old) {
    auto found = fresh.find(name);
    if (found != fresh.end() && found->second == ino) continue;
    tell(found == fresh.end() ? Notice{Notice::Delete, folderIno, ino, name}
                              : Notice{Notice::Entry, folderIno, 0, name});
    Node* gone = find(ino);
    if (gone && gone->parent == folderIno && !fresh.count(gone->name)) {
      gone->parent = 0;
      forgetIfUnused(ino);
    }
  }
  for (const auto& [name, ino] : fresh)
    if (!old.count(name)) tell({Notice::Entry, folderIno, 0, name});
}

// What pending changes put into `folder` shows there, over a listed item of the same name. A
// node is made for what this run has not seen (after a restart), with its staged bytes; a
// folder made here has nothing in it but what pending changes put there.
void InodeTable::pinChildren(Node& folder, const Outbox& outbox,
                             std::map<std::string, fuse_ino_t>& into, const timespec& now) {
  for (const auto& pin : outbox.placedIn(folder.id)) {
    if (!isUsableName(pin.name)) continue;
    Node* node = byIdentifier(pin.item);
    if (!node) {
      node = &make(pin.item, pin.folder, now);
      if (!pin.data.empty()) {
        setLocal(*node, outbox.pathOf(pin.data));
        node->base = pin.base;
      }
      if (pin.folder && Outbox::isProvisional(pin.item)) {
        node->listed = true;
        node->anchor = folder.anchor;
        pinChildren(*node, outbox, node->children, now);
      }
    }
    node->parent = folder.ino;
    node->name = pin.name;
    into[pin.name] = node->ino;
  }
}

struct stat InodeTable::attributes(const Node& node, std::optional<std::int64_t> size) const {
  struct stat st {};
  st.st_ino = node.ino;
  ItemCapabilities caps = node.item ? node.item->capabilities()
                                    : ItemCapability::allowsReading | ItemCapability::allowsWriting;
  st.st_mode = modeFor(node.folder, caps);
  // Folders do not count their subfolders (1 says "not counted"); a file no folder holds any
  // more (unlinked while open) has no link.
  st.st_nlink = node.folder || node.parent != 0 ? 1 : 0;
  st.st_uid = getuid();
  st.st_gid = getgid();
  if (!node.folder) {
    if (!size)
      if (auto listed = node.item ? node.item->documentSize() : std::nullopt)
        size = listed->integerValue();
    st.st_size = std::max<std::int64_t>(0, size.value_or(0));
  }
  st.st_atim = node.times.atime;
  st.st_mtim = node.times.mtime;
  st.st_ctim = node.times.ctime;
  st.st_blksize = 4096;
  st.st_blocks = (st.st_size + 511) / 512;
  return st;
}

}  // namespace QuorvelleDrive::fuse

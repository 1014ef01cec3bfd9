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

InodeTable::InodeTable() {
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
  byId_[id] = ino;
}

void InodeTable::forgetIfUnused(fuse_ino_t ino) {
  Node* node = find(ino);
  if (!node || ino == FUSE_ROOT_ID || node->lookups > 0 || node->parent != 0 || node->writers > 0)
    return;
  removeQuietly(node->local);
  auto held = byId_.find(node->id);
  if (held != byId_.end() && held->second == ino) byId_.erase(held);
  nodes_.erase(ino);
}

void InodeTable::applyListing(fuse_ino_t folderIno, SyncAnchor anchor,
                              const std::vector<ItemPtr>& items, std::vector<Notice>* notices) {
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
    Node& node = adopt(item, folderIno);
    bool versionChanged = before && before->itemVersion() != item->itemVersion();
    if (followVersion(node, before, item, now))
      tell({Notice::Inode, 0, node.ino, {}});
    else if (versionChanged)
      tell({Notice::Attributes, 0, node.ino, {}});
    fresh.emplace(item->filename(), node.ino);
  }
  Node& folder = nodes_[folderIno];
  auto old = std::move(folder.children);
  if (folder.listed && old != fresh) {
    folder.times.mtime = later(folder.times.mtime, now);
    folder.times.changed(now);
    tell({Notice::Attributes, 0, folderIno, {}});
  }
  folder.children = fresh;
  folder.listed = true;
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

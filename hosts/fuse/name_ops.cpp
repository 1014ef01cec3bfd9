// Requests that make, remove and rename entries.
#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "fuse_ops.h"
#include "platform/content_type.h"

namespace QuorvelleDrive::fuse {

// Where a new entry `name` would go: the folder's identifier, or why it cannot go there.
int MountedDomain::Handlers::placeForNew(MountedDomain& m, fuse_ino_t parent,
                                         const std::string& name, ItemIdentifier* parentId) {
  if (int err = nameError(name)) return err;
  if (int err = m.ensureListed(parent)) return err;
  std::lock_guard lock(m.mutex_);
  if (m.table_.child(parent, name)) return EEXIST;
  *parentId = m.table_.find(parent)->id;
  return 0;
}

// A new file on the companion, with an empty local copy; needs no lock.
int MountedDomain::Handlers::createFile(MountedDomain& m, fuse_ino_t parent,
                                        const std::string& name, NewFile* made) {
  ItemIdentifier parentId{""};
  if (int err = placeForNew(m, parent, name, &parentId)) return err;
  made->local = m.scratchFile();
  int fd = ::open(made->local.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  auto created = m.bridge_.create(hostItem(ItemIdentifier(""), parentId, name), made->local);
  if (!created.ok() || !created.value.item) {
    ::close(fd);
    removeQuietly(made->local);
    return created.ok() ? EIO : errnoFor(*created.error);
  }
  made->fd = fd;
  made->item = created.value.item;
  return 0;
}

// Enters a file or folder this mount just made into its parent; needs m.mutex_.
Node& MountedDomain::Handlers::adoptMade(MountedDomain& m, fuse_ino_t parent, const ItemPtr& item) {
  auto now = wallClock();
  Node& node = m.table_.adopt(item, parent);
  node.times = {now, now, now};
  m.table_.attach(parent, item->filename(), node.ino, now);
  node.base = item->itemVersion();
  return node;
}

void MountedDomain::Handlers::create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t,
                                     fuse_file_info* fi) {
  answer(req, [&]() -> int {
    auto& m = self(req);
    NewFile made;
    if (int err = createFile(m, parent, name, &made)) return err;
    std::lock_guard lock(m.mutex_);
    Node& node = adoptMade(m, parent, made.item);
    node.local = made.local;
    ++node.writers;
    m.handles_.emplace(m.nextHandle_, Handle{node.ino, made.fd, true});
    fi->fh = m.nextHandle_++;
    auto e = m.entryFor(node);
    fuse_reply_create(req, &e, fi);
    return 0;
  });
}

// Only regular files: the domain has no place for devices, FIFOs or sockets.
void MountedDomain::Handlers::mknod(fuse_req_t req, fuse_ino_t parent, const char* name,
                                    mode_t mode, dev_t) {
  answer(req, [&]() -> int {
    if (!S_ISREG(mode)) return ENOSYS;
    auto& m = self(req);
    NewFile made;
    if (int err = createFile(m, parent, name, &made)) return err;
    ::close(made.fd);
    std::lock_guard lock(m.mutex_);
    Node& node = adoptMade(m, parent, made.item);
    node.local = made.local;
    auto e = m.entryFor(node);
    fuse_reply_entry(req, &e);
    return 0;
  });
}

void MountedDomain::Handlers::mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t) {
  answer(req, [&]() -> int {
    auto& m = self(req);
    ItemIdentifier parentId{""};
    if (int err = placeForNew(m, parent, name, &parentId)) return err;
    auto made = m.bridge_.create(
        hostItem(ItemIdentifier(""), parentId, name, ContentType::folder()), std::nullopt);
    if (!made.ok() || !made.value.item) return made.ok() ? EIO : errnoFor(*made.error);
    std::lock_guard lock(m.mutex_);
    Node& node = adoptMade(m, parent, made.value.item);
    node.listed = true;  // a new folder is empty
    node.anchor = m.table_.find(parent)->anchor;
    auto e = m.entryFor(node);
    fuse_reply_entry(req, &e);
    return 0;
  });
}

// A journal entry for an item that is gone would only come back as a "recovered" file.
void MountedDomain::Handlers::dropPending(MountedDomain& m, const ItemIdentifier& id) {
  if (auto pending = m.journal_.pendingFor(id)) {
    m.journal_.remove(pending->key);
    removeQuietly(pending->data);
  }
}

int MountedDomain::Handlers::removeEntry(MountedDomain& m, fuse_ino_t parent,
                                         const std::string& name, bool folder) {
  if (name.size() > kNameMax) return ENAMETOOLONG;
  if (int err = m.ensureListed(parent)) return err;
  ItemIdentifier id{""};
  {
    std::lock_guard lock(m.mutex_);
    fuse_ino_t ino = m.table_.child(parent, name);
    if (!ino) return ENOENT;
    Node* node = m.table_.find(ino);
    if (node->folder != folder) return folder ? ENOTDIR : EISDIR;
    id = node->id;
  }
  if (auto error = m.bridge_.remove(id)) return errnoFor(*error);
  std::lock_guard lock(m.mutex_);
  dropPending(m, id);
  if (fuse_ino_t ino = m.table_.child(parent, name)) {
    m.table_.find(ino)->deleted = true;
    m.table_.detach(parent, name, wallClock());
  }
  return 0;
}

void MountedDomain::Handlers::unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
  answer(req, [&]() -> int {
    fuse_reply_err(req, removeEntry(self(req), parent, name, false));
    return 0;
  });
}

void MountedDomain::Handlers::rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
  answer(req, [&]() -> int {
    fuse_reply_err(req, removeEntry(self(req), parent, name, true));
    return 0;
  });
}

void MountedDomain::Handlers::rename(fuse_req_t req, fuse_ino_t parent, const char* name,
                                     fuse_ino_t newParent, const char* newName,
                                     unsigned int flags) {
  answer(req, [&]() -> int {
    fuse_reply_err(req, renameEntry(self(req), parent, name, newParent, newName, flags));
    return 0;
  });
}

struct MountedDomain::Handlers::Replacement {
  fuse_ino_t parent;
  std::string name;
  fuse_ino_t source;
  fuse_ino_t target;
  ItemIdentifier targetId;
  ItemIdentifier newParentId;
  std::string newName;
  ItemVersion targetVersion;
};

int MountedDomain::Handlers::renameEntry(MountedDomain& m, fuse_ino_t parent,
                                         const std::string& name, fuse_ino_t newParent,
                                         const std::string& newName, unsigned int flags) {
  if (flags & RENAME_EXCHANGE) return EINVAL;
  if (name.size() > kNameMax) return ENAMETOOLONG;
  if (int err = nameError(newName)) return err;
  if (int err = m.ensureListed(parent)) return err;
  if (int err = m.ensureListed(newParent)) return err;
  fuse_ino_t source, target;
  bool sourceFolder, targetFolder = false;
  ItemIdentifier sourceId{""}, targetId{""}, newParentId{""};
  ItemVersion sourceVersion, targetVersion;
  {
    std::lock_guard lock(m.mutex_);
    source = m.table_.child(parent, name);
    if (!source) return ENOENT;
    target = m.table_.child(newParent, newName);
    if (target == source) return 0;
    if (target && (flags & RENAME_NOREPLACE)) return EEXIST;
    Node* s = m.table_.find(source);
    sourceFolder = s->folder;
    sourceId = s->id;
    sourceVersion = s->item ? s->item->itemVersion() : ItemVersion{};
    newParentId = m.table_.find(newParent)->id;
    if (target) {
      Node* t = m.table_.find(target);
      targetFolder = t->folder;
      targetId = t->id;
      targetVersion = t->item ? t->item->itemVersion() : ItemVersion{};
    }
  }
  if (target) {
    if (sourceFolder && !targetFolder) return ENOTDIR;
    if (!sourceFolder && targetFolder) return EISDIR;
    if (!targetFolder)
      return replaceFile(
          m, {parent, name, source, target, targetId, newParentId, newName, targetVersion});
    if (auto error = m.bridge_.remove(targetId)) return errnoFor(*error);
    std::lock_guard lock(m.mutex_);
    if (m.table_.child(newParent, newName) == target) {
      m.table_.find(target)->deleted = true;
      m.table_.detach(newParent, newName, wallClock());
    }
  }
  auto moved =
      m.bridge_.modify(hostItem(sourceId, newParentId, newName), sourceVersion,
                       ItemField::filename | ItemField::parentItemIdentifier, std::nullopt);
  if (!moved.ok()) return errnoFor(*moved.error);
  std::lock_guard lock(m.mutex_);
  m.table_.move(source, parent, name, newParent, newName, wallClock());
  if (moved.value.item) m.table_.find(source)->item = moved.value.item;
  return 0;
}

// The companion refuses a taken name, so replacing a file means sending the source's bytes into
// the target (which keeps its identity) and then deleting the source; until the target has the
// bytes both stay as they were.
int MountedDomain::Handlers::replaceFile(MountedDomain& m, const Replacement& r) {
  int bytes = -1;
  if (int err = m.openContents(r.source, O_RDONLY, &bytes)) return err;
  bool wasDirty = false;
  {
    // These bytes go to the target; a write from here on dirties the source again.
    std::lock_guard lock(m.mutex_);
    if (Node* s = m.table_.find(r.source)) wasDirty = std::exchange(s->dirty, false);
  }
  auto snapshot = m.scratchFile();
  int copied = copyInto(bytes, snapshot);
  ::close(bytes);
  Outcome<Changed> replaced;
  if (!copied)
    replaced = m.bridge_.modify(hostItem(r.targetId, r.newParentId, r.newName), r.targetVersion,
                                ItemField::contents, snapshot);
  removeQuietly(snapshot);
  if (copied || !replaced.ok() || !replaced.value.item) {
    std::lock_guard lock(m.mutex_);
    if (Node* s = m.table_.find(r.source)) s->dirty = s->dirty || wasDirty;
    return copied ? copied : !replaced.ok() ? errnoFor(*replaced.error) : EIO;
  }
  ItemIdentifier sourceId{""};
  {
    std::lock_guard lock(m.mutex_);
    sourceId = m.table_.find(r.source)->id;
  }
  auto removed = m.bridge_.remove(sourceId);
  auto now = wallClock();
  std::lock_guard lock(m.mutex_);
  if (!removed) dropPending(m, sourceId);
  dropPending(m, r.targetId);  // older than the bytes it has now
  // The kernel now knows the source inode under the target's name, so that inode takes over the
  // target's identity. The old target inode is unlinked: what is still written through it is
  // dropped with it, as on a local disk.
  Node* t = m.table_.find(r.target);
  fuse_ino_t newParent = t->parent;
  t->deleted = true;
  m.table_.reidentify(r.target,
                      ItemIdentifier(std::string("\0replaced:", 10) + std::to_string(r.target)));
  m.table_.detach(newParent, r.newName, now);
  m.table_.reidentify(r.source, r.targetId);
  Node* s = m.table_.find(r.source);
  s->item = replaced.value.item;
  s->base =
      replaced.value.item->itemVersion();  // later writes through open descriptors build on it
  m.table_.move(r.source, r.parent, r.name, newParent, r.newName, now);
  return removed ? errnoFor(*removed) : 0;
}

}  // namespace QuorvelleDrive::fuse

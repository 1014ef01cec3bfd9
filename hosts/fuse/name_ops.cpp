// Requests that make, remove and rename entries. Each changes the tree here and records the
// change in the outbox before it answers; none waits for the companion, so they work offline.
// What is made here has a provisional identifier until its creation lands.
#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "fuse_ops.h"
#include "trash_rule.h"

namespace QuorvelleDrive::fuse {

// Whether a new entry `name` may go into `parent`.
int MountedDomain::Handlers::placeForNew(MountedDomain& m, fuse_ino_t parent,
                                         const std::string& name) {
  if (int err = nameError(name)) return err;
  if (parent == FUSE_ROOT_ID && isDesktopTrash(name)) return EPERM;
  if (int err = m.ensureListed(parent)) return err;
  std::lock_guard lock(m.mutex_);
  return m.table_.child(parent, name) ? EEXIST : 0;
}

// A new file with an empty local copy in the outbox folder: its creation goes out, with its
// bytes, after its last writer's release (or at once when it is not `open`ed).
int MountedDomain::Handlers::createFile(MountedDomain& m, fuse_ino_t parent,
                                        const std::string& name, bool open, mode_t mode,
                                        fuse_entry_param* entry, fuse_file_info* fi) {
  if (int err = placeForNew(m, parent, name)) return err;
  auto data = Outbox::freshDataName();
  auto local = m.outbox_->pathOf(data);
  int fd = ::open(local.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  std::unique_lock lock(m.mutex_);
  auto giveUp = [&](int err) {
    ::close(fd);
    removeQuietly(local);
    return err;
  };
  if (m.table_.child(parent, name)) return giveUp(EEXIST);
  auto id = Outbox::provisionalIdentifier();
  try {
    if (open) m.handles_.emplace(m.nextHandle_, Handle{0, fd, true});
    try {
      m.outbox_->created(id, false, {m.table_.find(parent)->id, name}, data, open);
    } catch (...) {
      m.handles_.erase(m.nextHandle_);
      throw;
    }
  } catch (...) {
    giveUp(0);
    throw;
  }
  Node& node = m.makeLocal(parent, name, id, false);
  m.table_.setLocal(node, local);
  if (open) {
    ++node.writers;
    m.handles_.at(m.nextHandle_).ino = node.ino;
    fi->fh = m.nextHandle_++;
  } else {
    ::close(fd);
  }
  m.keepCreatedMode(node, mode);
  *entry = m.entryFor(node);
  return 0;
}

void MountedDomain::Handlers::create(fuse_req_t req, fuse_ino_t parent, const char* name,
                                     mode_t mode, fuse_file_info* fi) {
  answer(req, [&]() -> int {
    fuse_entry_param e{};
    if (int err = createFile(self(req), parent, name, true, mode, &e, fi)) return err;
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
    fuse_entry_param e{};
    if (int err = createFile(m, parent, name, false, mode, &e, nullptr)) return err;
    m.uploader_->kick();
    fuse_reply_entry(req, &e);
    return 0;
  });
}

void MountedDomain::Handlers::mkdir(fuse_req_t req, fuse_ino_t parent, const char* name,
                                    mode_t mode) {
  answer(req, [&]() -> int {
    auto& m = self(req);
    if (int err = placeForNew(m, parent, name)) return err;
    fuse_entry_param e{};
    {
      std::lock_guard lock(m.mutex_);
      if (m.table_.child(parent, name)) return EEXIST;
      auto id = Outbox::provisionalIdentifier();
      Node* folder = m.table_.find(parent);
      m.outbox_->created(id, true, {folder->id, name}, "", false);
      auto anchor = folder->anchor;
      Node& node = m.makeLocal(parent, name, id, true);
      node.listed = true;  // a new folder is empty
      node.anchor = anchor;
      m.keepCreatedMode(node, mode);
      e = m.entryFor(node);
    }
    m.uploader_->kick();
    fuse_reply_entry(req, &e);
    return 0;
  });
}

// Records the removal of `node` and takes it out of its folder; needs m.mutex_.
void MountedDomain::Handlers::remove(MountedDomain& m, Node& node) {
  m.outbox_->removed(node.id, node.folder, m.placeOf(node), versionOf(node));
  node.deleted = true;
  m.forgetKept(node);
  m.table_.detach(node.parent, node.name, wallClock());
}

// A folder that is to go must be listed, so that its emptiness is known here.
int MountedDomain::Handlers::ensureEmptyKnown(MountedDomain& m, fuse_ino_t parent,
                                              const std::string& name) {
  fuse_ino_t ino = 0;
  {
    std::lock_guard lock(m.mutex_);
    ino = m.table_.child(parent, name);
    Node* node = m.table_.find(ino);
    if (!node || !node->folder || node->listed) return 0;
  }
  return m.ensureListed(ino);
}

int MountedDomain::Handlers::removeEntry(MountedDomain& m, fuse_ino_t parent,
                                         const std::string& name, bool folder) {
  if (name.size() > kNameMax) return ENAMETOOLONG;
  if (int err = m.ensureListed(parent)) return err;
  if (folder)
    if (int err = ensureEmptyKnown(m, parent, name)) return err;
  {
    std::lock_guard lock(m.mutex_);
    fuse_ino_t ino = m.table_.child(parent, name);
    if (!ino) return ENOENT;
    Node* node = m.table_.find(ino);
    if (node->folder != folder) return folder ? ENOTDIR : EISDIR;
    if (folder && !node->children.empty()) return ENOTEMPTY;
    m.ensureRoomToRecord();  // a removal frees space, so a full disk must not refuse it
    remove(m, *node);
  }
  m.uploader_->kick();
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
    auto& m = self(req);
    int err = renameEntry(m, parent, name, newParent, newName, flags);
    if (!err) m.uploader_->kick();
    fuse_reply_err(req, err);
    return 0;
  });
}

int MountedDomain::Handlers::renameEntry(MountedDomain& m, fuse_ino_t parent,
                                         const std::string& name, fuse_ino_t newParent,
                                         const std::string& newName, unsigned int flags) {
  if (flags & RENAME_EXCHANGE) return EINVAL;
  if (name.size() > kNameMax) return ENAMETOOLONG;
  if (int err = nameError(newName)) return err;
  bool same = parent == newParent && name == newName;
  if (newParent == FUSE_ROOT_ID && isDesktopTrash(newName) && !same) return EPERM;
  if (int err = m.ensureListed(parent)) return err;
  if (int err = m.ensureListed(newParent)) return err;
  if (int err = ensureEmptyKnown(m, newParent, newName)) return err;
  std::lock_guard lock(m.mutex_);
  fuse_ino_t source = m.table_.child(parent, name);
  if (!source) return ENOENT;
  fuse_ino_t target = m.table_.child(newParent, newName);
  if (target == source) return 0;
  if (target && (flags & RENAME_NOREPLACE)) return EEXIST;
  Node* s = m.table_.find(source);
  if (target) {
    Node* t = m.table_.find(target);
    if (s->folder && !t->folder) return ENOTDIR;
    if (!s->folder && t->folder) return EISDIR;
    if (t->folder && !t->listed) return EIO;  // emptiness unknown (listed above, so rare)
    if (t->folder && !t->children.empty()) return ENOTEMPTY;
    // A save by rename: the new bytes go into the replaced file's item, which keeps its
    // identifier. Bytes that are not here (never opened) would have to be fetched first; such
    // a rename replaces the item instead.
    if (!t->folder && m.hasLocalContents(*s)) {
      replaceFile(m, *s, *t);
      return 0;
    }
  }
  Outbox::Batch batch(*m.outbox_);
  if (target) remove(m, *m.table_.find(target));
  m.outbox_->moved(s->id, s->folder, m.placeOf(*s), {m.table_.find(newParent)->id, newName});
  batch.commit();
  m.table_.move(source, parent, name, newParent, newName, wallClock());
  return 0;
}

// The source's bytes become the target item's new contents and the source item goes; both are
// recorded in one transaction. The kernel knows the source inode under the target's name from
// now on, so that inode takes over the target's identity; the old target inode is unlinked, and
// what is still written through it is dropped with it, as on a local disk. Needs m.mutex_.
void MountedDomain::Handlers::replaceFile(MountedDomain& m, Node& s, Node& t) {
  m.stage(s);
  Place target = m.placeOf(t);
  ItemVersion targetVersion = versionOf(t);
  Outbox::Batch batch(*m.outbox_);
  m.outbox_->contentsChanged(t.id, target, targetVersion, s.local.filename().string(),
                             s.writers > 0);
  m.outbox_->removed(s.id, s.folder, m.placeOf(s), versionOf(s));
  batch.commit();
  auto now = wallClock();
  fuse_ino_t newParent = t.parent;
  fuse_ino_t oldParent = s.parent;
  std::string oldName = s.name;
  ItemIdentifier targetId = t.id;
  ItemPtr targetItem = t.item;
  t.deleted = true;
  m.table_.reidentify(t.ino,
                      ItemIdentifier(std::string("\0replaced:", 10) + std::to_string(t.ino)));
  m.table_.detach(newParent, target.name, now);  // may forget t
  try {
    m.setHere_->moveTo(s.id, targetId);
  } catch (...) {
    // Not recorded (a full disk): what was set on the source shows no more.
  }
  m.table_.reidentify(s.ino, targetId);
  s.item = targetItem;
  s.base = targetVersion;  // later writes through open descriptors rest on it
  m.table_.move(s.ino, oldParent, oldName, newParent, target.name, now);
}

}  // namespace QuorvelleDrive::fuse

// The kernel's requests, each answered exactly once through fuse_reply_*.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "boundaries/file_provider_error.h"
#include "errno_map.h"
#include "mounted_domain.h"

namespace QuorvelleDrive::fuse {
namespace {

MountedDomain& self(fuse_req_t req) {
  return *static_cast<MountedDomain*>(fuse_req_userdata(req));
}

double wallClock() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

}  // namespace

struct MountedDomain::Handlers {
  static fuse_ino_t child(MountedDomain& m, fuse_ino_t parent, const std::string& name) {
    Node* folder = m.find(parent);
    if (!folder) return 0;
    auto it = folder->children.find(name);
    return it == folder->children.end() ? 0 : it->second;
  }

  static void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    auto& m = self(req);
    if (int err = m.ensureListed(parent)) return void(fuse_reply_err(req, err));
    std::lock_guard lock(m.mutex_);
    fuse_ino_t ino = child(m, parent, name);
    if (!ino) return void(fuse_reply_err(req, ENOENT));
    auto e = m.entryFor(*m.find(ino));
    fuse_reply_entry(req, &e);
  }

  static void forgetOne(MountedDomain& m, fuse_ino_t ino, std::uint64_t n) {
    Node* node = m.find(ino);
    if (!node) return;
    node->lookups -= std::min(node->lookups, n);
    m.forgetIfUnused(ino);
  }

  static void forget(fuse_req_t req, fuse_ino_t ino, std::uint64_t n) {
    auto& m = self(req);
    {
      std::lock_guard lock(m.mutex_);
      forgetOne(m, ino, n);
    }
    fuse_reply_none(req);
  }

  static void forgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
    auto& m = self(req);
    {
      std::lock_guard lock(m.mutex_);
      for (size_t i = 0; i < count; ++i) forgetOne(m, forgets[i].ino, forgets[i].nlookup);
    }
    fuse_reply_none(req);
  }

  static void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    auto& m = self(req);
    bool needRoot = false;
    {
      std::lock_guard lock(m.mutex_);
      Node* node = m.find(ino);
      if (!node) return void(fuse_reply_err(req, ENOENT));
      needRoot = ino == FUSE_ROOT_ID && !node->item;
    }
    if (needRoot) {
      auto root = m.bridge_.item(rootContainerItemIdentifier());
      std::lock_guard lock(m.mutex_);
      if (root.ok()) m.find(FUSE_ROOT_ID)->item = root.value;
    }
    std::lock_guard lock(m.mutex_);
    auto st = m.attributes(*m.find(ino));
    fuse_reply_attr(req, &st, 1.0);
  }

  static int truncateStaged(MountedDomain& m, fuse_ino_t ino, off_t size, fuse_file_info* fi) {
    if (fi) {
      std::lock_guard lock(m.mutex_);
      auto h = m.handles_.find(fi->fh);
      if (h != m.handles_.end() && h->second.writable) {
        if (::ftruncate(h->second.fd, size) != 0) return errno;
        Node* node = m.find(ino);
        node->dirty = true;
        node->localMtime = wallClock();
        return 0;
      }
    }
    if (int err = m.stageForWriting(ino, size == 0)) return err;
    {
      std::lock_guard lock(m.mutex_);
      Node* node = m.find(ino);
      if (!node) return ENOENT;
      if (::truncate(node->staged.c_str(), size) != 0) return errno;
      node->dirty = true;
      node->localMtime = wallClock();
      ++node->writers;
    }
    int err = m.upload(ino);
    closeWriter(m, ino);
    return err;
  }

  static void closeWriter(MountedDomain& m, fuse_ino_t ino) {
    std::lock_guard lock(m.mutex_);
    Node* node = m.find(ino);
    if (!node || --node->writers > 0) return;
    node->writers = 0;
    std::error_code ec;
    if (!node->staged.empty()) std::filesystem::remove(node->staged, ec);
    node->staged.clear();
    m.forgetIfUnused(ino);
  }

  static void setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet,
                      fuse_file_info* fi) {
    auto& m = self(req);
    if (toSet & FUSE_SET_ATTR_SIZE)
      if (int err = truncateStaged(m, ino, attr->st_size, fi))
        return void(fuse_reply_err(req, err));
    std::lock_guard lock(m.mutex_);
    Node* node = m.find(ino);
    if (!node) return void(fuse_reply_err(req, ENOENT));
    // Times are kept locally (the companion keeps its own); modes and owners are not stored.
    if (toSet & FUSE_SET_ATTR_MTIME_NOW)
      node->localMtime = wallClock();
    else if (toSet & FUSE_SET_ATTR_MTIME)
      node->localMtime = attr->st_mtim.tv_sec + attr->st_mtim.tv_nsec / 1e9;
    auto st = m.attributes(*node);
    fuse_reply_attr(req, &st, 1.0);
  }

  static void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    auto& m = self(req);
    if (int err = m.ensureListed(ino)) return void(fuse_reply_err(req, err));
    std::lock_guard lock(m.mutex_);
    Node* folder = m.find(ino);
    if (!folder) return void(fuse_reply_err(req, ENOENT));
    std::vector<DirEntry> entries{{".", ino, S_IFDIR},
                                  {"..", folder->parent ? folder->parent : ino, S_IFDIR}};
    for (const auto& [name, childIno] : folder->children)
      if (Node* c = m.find(childIno))
        entries.push_back({name, childIno, static_cast<mode_t>(c->folder ? S_IFDIR : S_IFREG)});
    fi->fh = m.nextHandle_++;
    m.listings_.emplace(fi->fh, std::move(entries));
    fuse_reply_open(req, fi);
  }

  static void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                      fuse_file_info* fi) {
    listEntries(req, ino, size, offset, fi, false);
  }

  // With attributes, `ls -l` of a large folder needs no lookup per entry. Each entry handed
  // over with an inode counts as a lookup; "." and "..", and entries forgotten, moved or removed
  // since opendir, go without one (inode 0 asks the kernel for no dentry).
  static void readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                          fuse_file_info* fi) {
    listEntries(req, ino, size, offset, fi, true);
  }

  static void listEntries(fuse_req_t req, fuse_ino_t folder, size_t size, off_t offset,
                          fuse_file_info* fi, bool plus) {
    auto& m = self(req);
    std::lock_guard lock(m.mutex_);
    auto it = m.listings_.find(fi->fh);
    if (it == m.listings_.end()) return void(fuse_reply_err(req, EBADF));
    std::vector<char> buffer(size);
    size_t used = 0;
    for (size_t i = static_cast<size_t>(std::max<off_t>(offset, 0)); i < it->second.size(); ++i) {
      const DirEntry& entry = it->second[i];
      auto next = static_cast<off_t>(i + 1);
      size_t need;
      if (!plus) {
        struct stat st {};
        st.st_ino = entry.ino;
        st.st_mode = entry.mode;
        need = fuse_add_direntry(req, buffer.data() + used, size - used, entry.name.c_str(), &st,
                                 next);
      } else {
        Node* node = i < 2 ? nullptr : m.find(entry.ino);
        if (node && (node->parent != folder || node->name != entry.name)) node = nullptr;
        fuse_entry_param e{};
        if (node) {
          e = m.entryFor(*node);
        } else {
          e.attr.st_ino = entry.ino;
          e.attr.st_mode = entry.mode;
        }
        need = fuse_add_direntry_plus(req, buffer.data() + used, size - used, entry.name.c_str(),
                                      &e, next);
        if (node && need > size - used) --node->lookups;  // not sent after all
      }
      if (need > size - used) break;
      used += need;
    }
    fuse_reply_buf(req, buffer.data(), used);
  }

  static void releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    auto& m = self(req);
    {
      std::lock_guard lock(m.mutex_);
      m.listings_.erase(fi->fh);
    }
    fuse_reply_err(req, 0);
  }

  static void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    auto& m = self(req);
    bool writable = (fi->flags & O_ACCMODE) != O_RDONLY;
    bool truncate = fi->flags & O_TRUNC;
    bool fetched = false;
    int fd = -1;
    if (writable) {
      if (int err = m.stageForWriting(ino, truncate, &fetched))
        return void(fuse_reply_err(req, err));
    } else if (int err = m.openContents(ino, &fd, &fetched)) {
      return void(fuse_reply_err(req, err));
    }
    if (fetched) m.dropKernelAttributes(ino);
    std::lock_guard lock(m.mutex_);
    Node* node = m.find(ino);
    if (!node) {
      if (fd >= 0) ::close(fd);
      return void(fuse_reply_err(req, ENOENT));
    }
    if (writable) {
      fd = ::open(node->staged.c_str(), O_RDWR | (fi->flags & O_APPEND) | O_CLOEXEC);
      if (fd < 0) return void(fuse_reply_err(req, errno));
      ++node->writers;
      if (truncate && ::ftruncate(fd, 0) == 0) node->dirty = true;
    }
    fi->fh = m.nextHandle_++;
    m.handles_.emplace(fi->fh, Handle{ino, fd, writable});
    fuse_reply_open(req, fi);
  }

  static Handle* handle(MountedDomain& m, fuse_file_info* fi) {
    auto it = m.handles_.find(fi->fh);
    return it == m.handles_.end() ? nullptr : &it->second;
  }

  static void read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
    auto& m = self(req);
    int fd;
    {
      std::lock_guard lock(m.mutex_);
      Handle* h = handle(m, fi);
      if (!h) return void(fuse_reply_err(req, EBADF));
      fd = h->fd;
    }
    fuse_bufvec buffer = FUSE_BUFVEC_INIT(size);
    buffer.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    buffer.buf[0].fd = fd;
    buffer.buf[0].pos = offset;
    fuse_reply_data(req, &buffer, FUSE_BUF_SPLICE_MOVE);
  }

  static void write(fuse_req_t req, fuse_ino_t ino, const char* data, size_t size, off_t offset,
                    fuse_file_info* fi) {
    auto& m = self(req);
    std::lock_guard lock(m.mutex_);
    Handle* h = handle(m, fi);
    if (!h || !h->writable) return void(fuse_reply_err(req, EBADF));
    ssize_t n = ::pwrite(h->fd, data, size, offset);
    if (n < 0) return void(fuse_reply_err(req, errno));
    if (Node* node = m.find(ino)) {
      node->dirty = true;
      node->localMtime = wallClock();
    }
    fuse_reply_write(req, static_cast<size_t>(n));
  }

  static bool writableHandle(MountedDomain& m, fuse_file_info* fi) {
    std::lock_guard lock(m.mutex_);
    Handle* h = handle(m, fi);
    return h && h->writable;
  }

  // Uploading at close makes the store hold the bytes once close() returns.
  static void flush(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    auto& m = self(req);
    fuse_reply_err(req, writableHandle(m, fi) ? m.upload(ino) : 0);
  }

  static void fsync(fuse_req_t req, fuse_ino_t ino, int, fuse_file_info* fi) {
    flush(req, ino, fi);
  }

  static void release(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    auto& m = self(req);
    bool writable = false;
    {
      std::lock_guard lock(m.mutex_);
      if (Handle* h = handle(m, fi)) {
        ::close(h->fd);
        writable = h->writable;
        m.handles_.erase(fi->fh);
      }
    }
    if (writable) {
      m.upload(ino);
      closeWriter(m, ino);
    }
    fuse_reply_err(req, 0);
  }

  // Where a new entry `name` would go: the folder's identifier, or why it cannot go there.
  static int placeForNew(MountedDomain& m, fuse_ino_t parent, const char* name,
                         ItemIdentifier* parentId) {
    if (!isUsableName(name)) return EINVAL;
    if (int err = m.ensureListed(parent)) return err;
    std::lock_guard lock(m.mutex_);
    if (child(m, parent, name)) return EEXIST;
    *parentId = m.find(parent)->id;
    return 0;
  }

  // Enters an item this mount just created into its parent's children; needs m.mutex_.
  static Node& adoptCreated(MountedDomain& m, fuse_ino_t parent, const ItemPtr& item) {
    fuse_ino_t ino = m.adopt(item, parent);
    m.noteLocalChange(parent);
    m.find(parent)->children[item->filename()] = ino;
    return *m.find(ino);
  }

  static void create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t,
                     fuse_file_info* fi) {
    auto& m = self(req);
    ItemIdentifier parentId{""};
    if (int err = placeForNew(m, parent, name, &parentId)) return void(fuse_reply_err(req, err));
    auto staged = m.scratchFile();
    int fd = ::open(staged.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | (fi->flags & O_APPEND),
                    0600);
    if (fd < 0) return void(fuse_reply_err(req, errno));
    auto made = m.bridge_.create(hostItem(ItemIdentifier(""), parentId, name), staged);
    if (!made.ok() || !made.value.item) {
      ::close(fd);
      std::error_code ec;
      std::filesystem::remove(staged, ec);
      return void(fuse_reply_err(req, made.ok() ? EIO : errnoFor(*made.error)));
    }
    std::lock_guard lock(m.mutex_);
    Node& node = adoptCreated(m, parent, made.value.item);
    node.staged = staged;
    node.stagedBase = made.value.item->itemVersion();
    ++node.writers;
    fi->fh = m.nextHandle_++;
    m.handles_.emplace(fi->fh, Handle{node.ino, fd, true});
    auto e = m.entryFor(node);
    fuse_reply_create(req, &e, fi);
  }

  static void mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t) {
    auto& m = self(req);
    ItemIdentifier parentId{""};
    if (int err = placeForNew(m, parent, name, &parentId)) return void(fuse_reply_err(req, err));
    auto made = m.bridge_.create(
        hostItem(ItemIdentifier(""), parentId, name, ContentType::folder()), std::nullopt);
    if (!made.ok() || !made.value.item)
      return void(fuse_reply_err(req, made.ok() ? EIO : errnoFor(*made.error)));
    std::lock_guard lock(m.mutex_);
    Node& node = adoptCreated(m, parent, made.value.item);
    node.listed = true;  // a new folder is empty
    node.anchor = m.find(parent)->anchor;
    auto e = m.entryFor(node);
    fuse_reply_entry(req, &e);
  }

  static void removeEntry(fuse_req_t req, fuse_ino_t parent, const char* name, bool folder) {
    auto& m = self(req);
    if (int err = m.ensureListed(parent)) return void(fuse_reply_err(req, err));
    ItemIdentifier id{""};
    {
      std::lock_guard lock(m.mutex_);
      fuse_ino_t ino = child(m, parent, name);
      if (!ino) return void(fuse_reply_err(req, ENOENT));
      Node* node = m.find(ino);
      if (node->folder != folder) return void(fuse_reply_err(req, folder ? ENOTDIR : EISDIR));
      id = node->id;
    }
    if (auto error = m.bridge_.remove(id)) return void(fuse_reply_err(req, errnoFor(*error)));
    std::lock_guard lock(m.mutex_);
    if (auto pending = m.journal_.pendingFor(id)) {
      m.journal_.remove(pending->key);
      std::error_code ec;
      std::filesystem::remove(pending->data, ec);
    }
    if (fuse_ino_t ino = child(m, parent, name)) {
      m.find(ino)->deleted = true;
      m.noteLocalChange(parent);
      m.find(parent)->children.erase(name);
      m.find(ino)->parent = 0;
      m.forgetIfUnused(ino);
    }
    fuse_reply_err(req, 0);
  }

  static void unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
    removeEntry(req, parent, name, false);
  }
  static void rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
    removeEntry(req, parent, name, true);
  }

  static void rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
                     const char* newName, unsigned int flags) {
    auto& m = self(req);
    fuse_reply_err(req, renameEntry(m, parent, name, newParent, newName, flags));
  }

  static int renameEntry(MountedDomain& m, fuse_ino_t parent, const std::string& name,
                         fuse_ino_t newParent, const std::string& newName, unsigned int flags) {
    if (flags & RENAME_EXCHANGE) return EINVAL;
    if (!isUsableName(newName)) return EINVAL;
    if (int err = m.ensureListed(parent)) return err;
    if (int err = m.ensureListed(newParent)) return err;
    fuse_ino_t source, target;
    bool sourceFolder, targetFolder = false;
    ItemIdentifier sourceId{""}, targetId{""}, newParentId{""};
    ItemVersion sourceVersion, targetVersion;
    {
      std::lock_guard lock(m.mutex_);
      source = child(m, parent, name);
      if (!source) return ENOENT;
      target = child(m, newParent, newName);
      if (target == source) return 0;
      if (target && (flags & RENAME_NOREPLACE)) return EEXIST;
      Node* s = m.find(source);
      sourceFolder = s->folder;
      sourceId = s->id;
      sourceVersion = s->item ? s->item->itemVersion() : ItemVersion{};
      newParentId = m.find(newParent)->id;
      if (target) {
        Node* t = m.find(target);
        targetFolder = t->folder;
        targetId = t->id;
        targetVersion = t->item ? t->item->itemVersion() : ItemVersion{};
      }
    }
    if (target) {
      if (sourceFolder && !targetFolder) return ENOTDIR;
      if (!sourceFolder && targetFolder) return EISDIR;
      if (!targetFolder)
        return replaceFile(m, parent, name, source, target, targetId, newParentId, newName,
                           targetVersion);
      if (auto error = m.bridge_.remove(targetId)) return errnoFor(*error);
      std::lock_guard lock(m.mutex_);
      detach(m, newParent, newName);
    }
    auto moved =
        m.bridge_.modify(hostItem(sourceId, newParentId, newName), sourceVersion,
                         ItemField::filename | ItemField::parentItemIdentifier, std::nullopt);
    if (!moved.ok()) return errnoFor(*moved.error);
    std::lock_guard lock(m.mutex_);
    m.noteLocalChange(parent);
    m.noteLocalChange(newParent);
    m.find(parent)->children.erase(name);
    Node* s = m.find(source);
    if (moved.value.item) s->item = moved.value.item;
    s->parent = newParent;
    s->name = newName;
    m.find(newParent)->children[newName] = source;
    return 0;
  }

  static void detach(MountedDomain& m, fuse_ino_t folder, const std::string& name) {
    fuse_ino_t ino = child(m, folder, name);
    if (!ino) return;
    m.noteLocalChange(folder);
    m.find(folder)->children.erase(name);
    m.find(ino)->parent = 0;
    m.forgetIfUnused(ino);
  }

  // The companion refuses a taken name, so replacing a file means moving the source's bytes
  // into the target (which keeps its identity) and then deleting the source; until the upload
  // succeeds both stay as they were.
  static int replaceFile(MountedDomain& m, fuse_ino_t parent, const std::string& name,
                         fuse_ino_t source, fuse_ino_t target, const ItemIdentifier& targetId,
                         const ItemIdentifier& newParentId, const std::string& newName,
                         const ItemVersion& targetVersion) {
    m.upload(source);
    int bytes = -1;
    if (int err = m.openContents(source, &bytes)) return err;
    auto snapshot = m.scratchFile();
    int copied = copyInto(bytes, snapshot);
    ::close(bytes);
    if (copied) return copied;
    std::error_code ec;
    auto replaced = m.bridge_.modify(hostItem(targetId, newParentId, newName), targetVersion,
                                     ItemField::contents, snapshot);
    if (!replaced.ok()) {
      std::filesystem::remove(snapshot, ec);
      return errnoFor(*replaced.error);
    }
    ItemIdentifier sourceId{""};
    {
      std::lock_guard lock(m.mutex_);
      sourceId = m.find(source)->id;
    }
    auto removed = m.bridge_.remove(sourceId);
    std::lock_guard lock(m.mutex_);
    // The kernel now knows the source inode under the target's name, so that inode takes over
    // the target's identity and the old target inode is let go.
    Node* t = m.find(target);
    fuse_ino_t newParent = t->parent;
    t->id = ItemIdentifier(std::string("\0replaced:", 10) + std::to_string(target));
    m.byId_.erase(targetId);
    detach(m, newParent, newName);
    Node* s = m.find(source);
    m.byId_.erase(s->id);
    m.noteLocalChange(parent);
    m.find(parent)->children.erase(name);
    s->id = targetId;
    m.byId_[targetId] = source;
    s->item = replaced.value.item;
    s->name = newName;
    s->parent = newParent;
    std::filesystem::remove(s->contentFile, ec);
    s->contentFile = snapshot;
    s->contentVersion =
        replaced.value.item ? replaced.value.item->itemVersion().contentVersion : "";
    m.find(s->parent)->children[newName] = source;
    return removed ? errnoFor(*removed) : 0;
  }

  static void statfs(fuse_req_t req, fuse_ino_t) {
    struct statvfs st {};
    st.f_bsize = st.f_frsize = 4096;
    st.f_blocks = st.f_bfree = st.f_bavail = 1ull << 30;
    st.f_files = st.f_ffree = 1ull << 30;
    st.f_namemax = 255;
    fuse_reply_statfs(req, &st);
  }
};

int MountedDomain::run(const std::function<void()>& onMounted,
                       std::chrono::milliseconds flushWait) {
  fuse_lowlevel_ops ops{};
  ops.lookup = Handlers::lookup;
  ops.forget = Handlers::forget;
  ops.forget_multi = Handlers::forgetMulti;
  ops.getattr = Handlers::getattr;
  ops.setattr = Handlers::setattr;
  ops.opendir = Handlers::opendir;
  ops.readdir = Handlers::readdir;
  ops.readdirplus = Handlers::readdirplus;
  ops.releasedir = Handlers::releasedir;
  ops.open = Handlers::open;
  ops.read = Handlers::read;
  ops.write = Handlers::write;
  ops.flush = Handlers::flush;
  ops.fsync = Handlers::fsync;
  ops.release = Handlers::release;
  ops.create = Handlers::create;
  ops.mkdir = Handlers::mkdir;
  ops.unlink = Handlers::unlink;
  ops.rmdir = Handlers::rmdir;
  ops.rename = Handlers::rename;
  ops.statfs = Handlers::statfs;

  std::vector<const char*> argv{"qdrive", "-o", "fsname=quorvelle,subtype=quorvelle"};
  if (options_.debug) argv.push_back("-d");
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), const_cast<char**>(argv.data()));
  session_ = fuse_session_new(&args, &ops, sizeof ops, this);
  if (!session_) return 1;
  fuse_set_signal_handlers(session_);
  if (fuse_session_mount(session_, options_.mountpoint.c_str()) != 0) {
    fuse_remove_signal_handlers(session_);
    fuse_session_destroy(session_);
    return 1;
  }
  if (onMounted) onMounted();  // before any thread starts, so that it may daemonise (fork)
  poller_ = std::thread(&MountedDomain::pollLoop, this);
  noticer_ = std::thread(&MountedDomain::noticeLoop, this);
  fuse_loop_config* config = fuse_loop_cfg_create();
  fuse_loop_cfg_set_max_threads(config, 64);
  int rc = fuse_session_loop_mt(session_, config);
  fuse_loop_cfg_destroy(config);
  {
    std::lock_guard lock(threadMutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  poller_.join();
  noticer_.join();
  fuse_session_unmount(session_);
  fuse_remove_signal_handlers(session_);
  fuse_session_destroy(session_);
  session_ = nullptr;
  auto deadline = std::chrono::steady_clock::now() + flushWait;
  while (!journal_.pending().empty() && std::chrono::steady_clock::now() < deadline) {
    retryPending();
    if (!journal_.pending().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  return rc == 0 ? 0 : 1;
}

}  // namespace QuorvelleDrive::fuse

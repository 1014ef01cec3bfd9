// Requests about the tree and attributes, the operations table, and the request loop.
#include "fuse_ops.h"

#include <signal.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <vector>

namespace QuorvelleDrive::fuse {
namespace {

bool unset(const timespec& t) {
  return t.tv_sec == 0 && t.tv_nsec == 0;
}

}  // namespace

void MountedDomain::Handlers::lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  answer(req, [&]() -> int {
    if (std::strlen(name) > kNameMax) return ENAMETOOLONG;
    auto& m = self(req);
    if (int err = m.ensureListed(parent)) return err;
    std::lock_guard lock(m.mutex_);
    fuse_ino_t ino = m.table_.child(parent, name);
    if (!ino) return ENOENT;
    auto e = m.entryFor(*m.table_.find(ino));
    fuse_reply_entry(req, &e);
    return 0;
  });
}

void MountedDomain::Handlers::forget(fuse_req_t req, fuse_ino_t ino, std::uint64_t n) {
  fuse_forget_data one{ino, n};
  forgetMulti(req, 1, &one);
}

void MountedDomain::Handlers::forgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
  auto& m = self(req);
  try {
    std::lock_guard lock(m.mutex_);
    for (size_t i = 0; i < count; ++i) {
      Node* node = m.table_.find(forgets[i].ino);
      if (!node) continue;
      node->lookups -= std::min<std::uint64_t>(node->lookups, forgets[i].nlookup);
      m.table_.forgetIfUnused(forgets[i].ino);
    }
  } catch (...) {
    // Nothing to answer: a node kept too long costs memory, nothing more.
  }
  fuse_reply_none(req);
}

void MountedDomain::Handlers::getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  answer(req, [&]() -> int {
    auto& m = self(req);
    bool needRoot = false;
    {
      std::lock_guard lock(m.mutex_);
      Node* node = m.table_.find(ino);
      if (!node) return ENOENT;
      needRoot = ino == FUSE_ROOT_ID && !node->item;
    }
    if (needRoot) {
      auto root = m.bridge_.item(rootContainerItemIdentifier());
      std::lock_guard lock(m.mutex_);
      Node* node = m.table_.find(FUSE_ROOT_ID);
      if (root.ok() && root.value && !node->item) {
        node->item = root.value;
        if (unset(node->times.ctime))
          node->times = NodeTimes::from(root.value->contentModificationDate());
      }
    }
    std::lock_guard lock(m.mutex_);
    Node* node = m.table_.find(ino);
    if (!node) return ENOENT;
    auto st = m.attributes(*node);
    fuse_reply_attr(req, &st, 1.0);
    return 0;
  });
}

// Times and modes are kept here (the companion keeps neither), owners are not stored; a request
// to change any of them counts as a change.
void MountedDomain::Handlers::setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet,
                                      fuse_file_info* fi) {
  answer(req, [&]() -> int {
    auto& m = self(req);
    if (toSet & FUSE_SET_ATTR_SIZE)
      if (int err = truncateTo(m, ino, attr->st_size, fi)) return err;
    auto now = wallClock();
    std::lock_guard lock(m.mutex_);
    Node* node = m.table_.find(ino);
    if (!node) return ENOENT;
    if (toSet & FUSE_SET_ATTR_ATIME_NOW)
      node->times.atime = now;
    else if (toSet & FUSE_SET_ATTR_ATIME)
      node->times.atime = attr->st_atim;
    if (toSet & FUSE_SET_ATTR_MTIME_NOW)
      node->times.mtime = now;
    else if (toSet & FUSE_SET_ATTR_MTIME)
      node->times.mtime = attr->st_mtim;
    node->times.changed(now);
    m.keepSetHere(*node, toSet, attr->st_mode);
    auto st = m.attributes(*node);
    fuse_reply_attr(req, &st, 1.0);
    return 0;
  });
}

void MountedDomain::Handlers::opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  answer(req, [&]() -> int {
    auto& m = self(req);
    if (int err = m.ensureListed(ino)) return err;
    std::lock_guard lock(m.mutex_);
    Node* folder = m.table_.find(ino);
    if (!folder) return ENOENT;
    std::vector<DirEntry> entries{{".", ino, S_IFDIR},
                                  {"..", folder->parent ? folder->parent : ino, S_IFDIR}};
    for (const auto& [name, childIno] : folder->children)
      if (Node* c = m.table_.find(childIno))
        entries.push_back({name, childIno, static_cast<mode_t>(c->folder ? S_IFDIR : S_IFREG)});
    m.listings_.emplace(m.nextHandle_, std::move(entries));
    fi->fh = m.nextHandle_++;
    fuse_reply_open(req, fi);
    return 0;
  });
}

void MountedDomain::Handlers::readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                                      fuse_file_info* fi) {
  listEntries(req, ino, size, offset, fi, false);
}

// With attributes, `ls -l` of a large folder needs no lookup per entry. Each entry handed
// over with an inode counts as a lookup; "." and "..", and entries forgotten, moved or removed
// since opendir, go without one (inode 0 asks the kernel for no dentry).
void MountedDomain::Handlers::readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset,
                                          fuse_file_info* fi) {
  listEntries(req, ino, size, offset, fi, true);
}

void MountedDomain::Handlers::listEntries(fuse_req_t req, fuse_ino_t folder, size_t size,
                                          off_t offset, fuse_file_info* fi, bool plus) {
  answer(req, [&]() -> int {
    auto& m = self(req);
    std::lock_guard lock(m.mutex_);
    auto it = m.listings_.find(fi->fh);
    if (it == m.listings_.end()) return EBADF;
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
        Node* node = i < 2 ? nullptr : m.table_.find(entry.ino);
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
    return 0;
  });
}

void MountedDomain::Handlers::releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  auto& m = self(req);
  {
    std::lock_guard lock(m.mutex_);
    m.listings_.erase(fi->fh);
  }
  fuse_reply_err(req, 0);
}

void MountedDomain::Handlers::statfs(fuse_req_t req, fuse_ino_t) {
  auto& m = self(req);
  struct statvfs st {};
  if (m.options_.space) {
    st = m.options_.space->now();
  } else {
    st.f_bsize = st.f_frsize = 4096;
    st.f_blocks = st.f_bfree = st.f_bavail = 1ull << 30;
    st.f_files = st.f_ffree = 1ull << 30;
  }
  st.f_namemax = kNameMax;
  fuse_reply_statfs(req, &st);
}

// Contents move between the kernel and the local copies without a copy through the mount's
// buffers: a read is answered by splicing from the copy's file (fuse_reply_data with a
// descriptor), a write's bytes are spliced from the device into it, and a request carries up to
// a megabyte (the most libfuse's buffers take, 256 pages; reads have no limit of their own, so
// the same page count bounds them, and the kernel may cut readahead shorter).
void MountedDomain::Handlers::init(void*, fuse_conn_info* conn) {
  constexpr unsigned kSplice = FUSE_CAP_SPLICE_READ | FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE;
  conn->want |= conn->capable & kSplice;
  constexpr unsigned kRequestBytes = 1 << 20;
  conn->max_write = kRequestBytes;
  conn->max_readahead = std::min(conn->max_readahead, kRequestBytes);
}

fuse_lowlevel_ops MountedDomain::Handlers::operations() {
  fuse_lowlevel_ops ops{};
  ops.init = init;
  ops.lookup = lookup;
  ops.forget = forget;
  ops.forget_multi = forgetMulti;
  ops.getattr = getattr;
  ops.setattr = setattr;
  ops.opendir = opendir;
  ops.readdir = readdir;
  ops.readdirplus = readdirplus;
  ops.releasedir = releasedir;
  ops.open = open;
  ops.read = read;
  ops.write_buf = write;
  ops.fsync = fsync;
  ops.fsyncdir = fsyncdir;
  ops.release = release;
  ops.create = create;
  ops.mknod = mknod;
  ops.mkdir = mkdir;
  ops.unlink = unlink;
  ops.rmdir = rmdir;
  ops.rename = rename;
  ops.statfs = statfs;
  ops.getxattr = getxattr;
  ops.listxattr = listxattr;
  ops.setxattr = setxattr;
  ops.removexattr = removexattr;
  return ops;
}

RunOutcome MountedDomain::run(const std::function<void()>& onMounted,
                              std::chrono::milliseconds flushWait) {
  fuse_lowlevel_ops ops = Handlers::operations();
  std::vector<const char*> argv{"qdrive", "-o", "fsname=quorvelle,subtype=quorvelle"};
  if (options_.debug) argv.push_back("-d");
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), const_cast<char**>(argv.data()));
  session_ = fuse_session_new(&args, &ops, sizeof ops, this);
  if (!session_) return RunOutcome::notMounted;
  fuse_set_signal_handlers(session_);
  if (fuse_session_mount(session_, options_.mountpoint.c_str()) != 0) {
    fuse_remove_signal_handlers(session_);
    fuse_session_destroy(session_);
    session_ = nullptr;
    return RunOutcome::notMounted;
  }
  if (onMounted) onMounted();  // before any thread starts, so that it may daemonise (fork)
  int rc = 0;
  try {
    // Opened after a fork: a database connection must not cross one.
    outbox_ = std::make_unique<Outbox>(options_.outbox, options_.journals);
    openKept();
    if (options_.offline) {
      showSavedTree();
      noteReachable(false);
    }
    uploader_ =
        std::make_unique<Uploader>(bridge_, *outbox_, mutex_, static_cast<Uploader::Tree&>(*this));
    uploader_->start();
    poller_ = std::thread(&MountedDomain::pollLoop, this);
    noticer_ = std::thread(&MountedDomain::noticeLoop, this);
    keeper_ = std::thread(&MountedDomain::keeperLoop, this);
    fuse_loop_config* config = fuse_loop_cfg_create();
    fuse_loop_cfg_set_max_threads(config, 64);
    // 0 when unmounted from outside; the signal's number when SIGINT, SIGTERM or SIGHUP ended it.
    rc = fuse_session_loop_mt(session_, config);
    fuse_loop_cfg_destroy(config);
  } catch (...) {
    finish(std::chrono::milliseconds(0));
    throw;
  }
  finish(flushWait);
  return rc >= 0 ? RunOutcome::unmounted : RunOutcome::failed;
}

namespace {

// From the end of the session on, the mount only winds down: a signal then (the terminal that
// ran it closing, a second Ctrl-C, a reader of its output gone) must not end it before it has
// sent what is pending and stopped its companion. Stop signals are ignored before libfuse's
// handlers go, so that none is ever left at its default; SIGPIPE after, as libfuse resets it.
void ignore(std::initializer_list<int> signals) {
  struct sigaction ignored {};
  ignored.sa_handler = SIG_IGN;
  sigemptyset(&ignored.sa_mask);
  for (int signal : signals) ::sigaction(signal, &ignored, nullptr);
}

}  // namespace

// Unmounts, then gives the uploader up to `flushWait` to send what is pending.
void MountedDomain::finish(std::chrono::milliseconds flushWait) {
  {
    std::lock_guard lock(threadMutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (poller_.joinable()) poller_.join();
  if (noticer_.joinable()) noticer_.join();
  if (keeper_.joinable()) keeper_.join();
  fuse_session_unmount(session_);
  ignore({SIGHUP, SIGINT, SIGTERM});
  fuse_remove_signal_handlers(session_);
  ignore({SIGPIPE});
  fuse_session_destroy(session_);
  session_ = nullptr;
  if (!uploader_) return;
  {
    std::lock_guard lock(mutex_);
    outbox_->releaseAll();  // no writer is left once unmounted
  }
  uploader_->kick();
  uploader_->drain(std::chrono::steady_clock::now() + flushWait);
  uploader_->stop();
  std::lock_guard lock(mutex_);
  try {
    cache_->flush();
    auto notes = database_->lock();
    database_->clearNote("offline_since");  // said of a running mount only
  } catch (...) {
    // The last uses are lost: eviction's order is a little off next time.
  }
}

}  // namespace QuorvelleDrive::fuse

// Listings and the poller: folders are listed once and then relisted when the domain's anchor
// moves, with the outbox laid over each listing; the kernel hears about changes from the notice
// thread, never from inside a request. Folders made here are never listed at the companion: what
// they hold is all in the outbox until their creation lands.
#include <set>

#include "errno_map.h"
#include "mounted_domain.h"

namespace QuorvelleDrive::fuse {

int MountedDomain::refresh(fuse_ino_t folderIno, bool notify) {
  // A change made here or landed since the listing was asked for may be missing from it: a
  // listed folder waits for the next poll, one never listed asks again (a few times).
  for (int attempt = 0;; ++attempt) {
    ItemIdentifier id{""};
    std::uint64_t localChanges = 0;
    {
      std::lock_guard lock(mutex_);
      Node* folder = table_.find(folderIno);
      if (!folder) return ENOENT;
      if (Outbox::isProvisional(folder->id)) return 0;
      id = folder->id;
      localChanges = folder->localChanges;
    }
    // The anchor is taken before the listing so that a change in between shows at the next
    // poll.
    auto anchor = bridge_.anchor(id);
    auto listing = bridge_.list(id);
    if (!listing.ok()) return errnoFor(*listing.error);
    std::vector<Notice> notices;
    {
      std::lock_guard lock(mutex_);
      Node* folder = table_.find(folderIno);
      if (!folder) return ENOENT;
      if (folder->localChanges != localChanges && (folder->listed || attempt < 3)) {
        if (folder->listed) return 0;
        continue;
      }
      table_.applyListing(folderIno, anchor.ok() ? anchor.value : SyncAnchor(), listing.value,
                          *outbox_, notify ? &notices : nullptr);
    }
    post(std::move(notices));
    try {
      savedTree_->save(id, anchor.ok() ? anchor.value : SyncAnchor(), listing.value);
    } catch (...) {
      // Not kept (a full disk): an offline start shows the listing kept before.
    }
    return 0;
  }
}

int MountedDomain::ensureListed(fuse_ino_t folderIno) {
  {
    std::lock_guard lock(mutex_);
    Node* folder = table_.find(folderIno);
    if (!folder) return ENOENT;
    if (!folder->folder) return ENOTDIR;
    if (folder->listed) return 0;
  }
  int err = refresh(folderIno, false);
  // No companion of this drive answers: the tree it last listed shows instead.
  if (err == EIO && folderIno == FUSE_ROOT_ID && !savedTree_->empty()) {
    showSavedTree();
    std::lock_guard lock(mutex_);
    if (table_.find(FUSE_ROOT_ID)->listed) return 0;
  }
  return err;
}

void MountedDomain::post(std::vector<Notice> notices) {
  if (notices.empty()) return;
  std::lock_guard lock(threadMutex_);
  for (auto& n : notices) notices_.push_back(std::move(n));
  wake_.notify_all();
}

// Kernel notifications go out from here: never from inside a request, never under mutex_
// (dropKernelAttributes, attributes only, is the one exception).
void MountedDomain::noticeLoop() {
  std::unique_lock lock(threadMutex_);
  while (true) {
    wake_.wait(lock, [&] { return stopping_ || !notices_.empty(); });
    if (stopping_) return;
    Notice n = std::move(notices_.front());
    notices_.pop_front();
    lock.unlock();
    switch (n.kind) {
      case Notice::Entry:
        fuse_lowlevel_notify_inval_entry(session_, n.parent, n.name.c_str(), n.name.size());
        break;
      case Notice::Delete:
        fuse_lowlevel_notify_delete(session_, n.parent, n.ino, n.name.c_str(), n.name.size());
        break;
      case Notice::Inode:
        fuse_lowlevel_notify_inval_inode(session_, n.ino, 0, 0);
        break;
      case Notice::Attributes:
        fuse_lowlevel_notify_inval_inode(session_, n.ino, -1, 0);
        break;
    }
    lock.lock();
  }
}

void MountedDomain::pollOnce() {
  struct Folder {
    fuse_ino_t ino;
    ItemIdentifier id;
    SyncAnchor anchor;
    bool stale;
  };
  std::vector<Folder> folders;
  {
    std::lock_guard tree(mutex_);
    table_.forEach([&](Node& node) {
      if (node.folder && node.listed && !Outbox::isProvisional(node.id))
        folders.push_back({node.ino, node.id, node.anchor, node.stale});
    });
  }
  // One anchor serves the whole domain, so each distinct anchor is asked about once a round.
  std::set<SyncAnchor> current;
  bool seen = false;
  for (auto& folder : folders) {
    if (folder.stale) {
      seen = refresh(folder.ino, true) == 0 || seen;
      continue;
    }
    if (current.count(folder.anchor)) continue;
    auto unchanged = bridge_.unchangedSince(folder.id, folder.anchor);
    if (!unchanged.ok()) continue;
    seen = true;
    if (unchanged.value)
      current.insert(folder.anchor);
    else
      refresh(folder.ino, true);
  }
  if (seen) uploader_->companionSeen();
  if (!folders.empty()) noteReachable(seen);
}

void MountedDomain::pollLoop() {
  std::unique_lock lock(threadMutex_);
  while (!wake_.wait_for(lock, options_.poll, [&] { return stopping_; })) {
    lock.unlock();
    try {
      pollOnce();
    } catch (...) {
      // Out of memory or a full disk, say: this round is lost, the next one tries again.
    }
    lock.lock();
  }
}

}  // namespace QuorvelleDrive::fuse

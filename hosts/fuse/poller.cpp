// Listings and the poller: folders are listed once and then relisted when the domain's anchor
// moves; the kernel hears about changes from the notice thread, never from inside a request.
#include <set>

#include "errno_map.h"
#include "mounted_domain.h"

namespace QuorvelleDrive::fuse {

int MountedDomain::refresh(fuse_ino_t folderIno, bool notify) {
  ItemIdentifier id{""};
  std::uint64_t localChanges = 0;
  {
    std::lock_guard lock(mutex_);
    Node* folder = table_.find(folderIno);
    if (!folder) return ENOENT;
    id = folder->id;
    localChanges = folder->localChanges;
  }
  // The anchor is taken before the listing so that a change in between shows at the next poll.
  auto anchor = bridge_.anchor(id);
  auto listing = bridge_.list(id);
  if (!listing.ok()) return errnoFor(*listing.error);
  std::vector<Notice> notices;
  {
    std::lock_guard lock(mutex_);
    Node* folder = table_.find(folderIno);
    // A create, rename or delete here since the listing was asked for is already in the tree,
    // and the listing may predate it; the next poll lists again.
    if (folder && folder->listed && folder->localChanges != localChanges) return 0;
    table_.applyListing(folderIno, anchor.ok() ? anchor.value : SyncAnchor(), listing.value,
                        notify ? &notices : nullptr);
  }
  post(std::move(notices));
  return 0;
}

int MountedDomain::ensureListed(fuse_ino_t folderIno) {
  {
    std::lock_guard lock(mutex_);
    Node* folder = table_.find(folderIno);
    if (!folder) return ENOENT;
    if (!folder->folder) return ENOTDIR;
    if (folder->listed) return 0;
  }
  return refresh(folderIno, false);
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

void MountedDomain::pollOnce(std::chrono::steady_clock::time_point& nextRetry,
                             std::chrono::seconds& backoff) {
  std::vector<std::pair<fuse_ino_t, std::pair<ItemIdentifier, SyncAnchor>>> folders;
  {
    std::lock_guard tree(mutex_);
    table_.forEach([&](Node& node) {
      if (node.folder && node.listed) folders.push_back({node.ino, {node.id, node.anchor}});
    });
  }
  // One anchor serves the whole domain, so each distinct anchor is asked about once a round.
  std::set<SyncAnchor> current;
  for (auto& [ino, state] : folders) {
    if (current.count(state.second)) continue;
    auto unchanged = bridge_.unchangedSince(state.first, state.second);
    if (!unchanged.ok()) continue;
    if (unchanged.value)
      current.insert(state.second);
    else
      refresh(ino, true);
  }
  uploadLeftovers();
  if (!journal_.pending().empty() && std::chrono::steady_clock::now() >= nextRetry) {
    retryPending();
    bool left = !journal_.pending().empty();
    backoff = left ? std::min(backoff * 2, std::chrono::seconds(30)) : std::chrono::seconds(1);
    nextRetry = std::chrono::steady_clock::now() + backoff;
  }
}

void MountedDomain::pollLoop() {
  std::chrono::seconds backoff(1);
  auto nextRetry = std::chrono::steady_clock::now();
  std::unique_lock lock(threadMutex_);
  while (!wake_.wait_for(lock, options_.poll, [&] { return stopping_; })) {
    lock.unlock();
    try {
      pollOnce(nextRetry, backoff);
    } catch (...) {
      // Out of memory or a full disk, say: this round is lost, the next one tries again.
    }
    lock.lock();
  }
}

}  // namespace QuorvelleDrive::fuse

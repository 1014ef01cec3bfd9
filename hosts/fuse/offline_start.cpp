// Starting without a companion: the tree last listed is laid out as if just listed (with the
// outbox over it, and each folder's anchor), so the drive shows as it was; cached contents
// read, others answer EIO, and changes wait in the outbox. Once a companion of this drive
// answers, the poller brings each folder in line (its anchor has moved or expired) and the
// outbox drains. When the companion was last out of reach is noted for `qdrive status`.
#include <ctime>
#include <deque>

#include "mounted_domain.h"

namespace QuorvelleDrive::fuse {

void MountedDomain::showSavedTree() {
  auto kept = savedTree_->load();
  std::lock_guard lock(mutex_);
  if (treeShown_) return;
  treeShown_ = true;
  std::deque<fuse_ino_t> folders{FUSE_ROOT_ID};
  while (!folders.empty()) {
    fuse_ino_t ino = folders.front();
    folders.pop_front();
    Node* folder = table_.find(ino);
    if (!folder || !folder->folder || folder->listed) continue;
    auto it = kept.find(folder->id);
    if (it == kept.end()) continue;
    table_.applyListing(ino, it->second.anchor, it->second.items, *outbox_, nullptr);
    for (const auto& [_, child] : table_.find(ino)->children) folders.push_back(child);
  }
}

// Called by the poller after each round that asked the companion something.
void MountedDomain::noteReachable(bool reachable) {
  if (reachable_ == reachable) return;
  reachable_ = reachable;
  auto lock = database_->lock();
  if (reachable)
    database_->clearNote("offline_since");
  else if (!database_->note("offline_since"))
    database_->setNote("offline_since", std::to_string(std::time(nullptr)));
}

}  // namespace QuorvelleDrive::fuse

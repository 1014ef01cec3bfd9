// The keeper thread: keeps the cache under its bound (evicting least recently used copies that
// are closed, unpinned and clean) and pinned items on this machine (fetching what they lack,
// a few at a time, and again whenever their version moves). It wakes each poll interval, and
// at once when a file is closed or a pin changes.
#include <atomic>
#include <deque>
#include <set>
#include <unordered_set>

#include "mounted_domain.h"

namespace QuorvelleDrive::fuse {
namespace {

constexpr int kPinFetches = 4;  // fetches at once for pinned items

}  // namespace

void MountedDomain::kickKeeper() {
  {
    std::lock_guard lock(threadMutex_);
    keeperKicked_ = true;
  }
  wake_.notify_all();
}

void MountedDomain::keeperLoop() {
  std::unique_lock lock(threadMutex_);
  while (true) {
    wake_.wait_for(lock, options_.poll, [&] { return stopping_ || keeperKicked_; });
    if (stopping_) return;
    keeperKicked_ = false;
    lock.unlock();
    try {
      {
        std::lock_guard tree(mutex_);
        makeRoom(0);
        restoreReserve();
        cache_->flush();
      }
      keepPinned();
    } catch (...) {
      // A full disk, say: the next round tries again.
    }
    lock.lock();
  }
}

// Folders are listed as the walk reaches them, so a pinned folder's new files are found.
std::vector<fuse_ino_t> MountedDomain::filesUnder(fuse_ino_t ino) {
  std::vector<fuse_ino_t> files;
  std::deque<fuse_ino_t> folders{ino};
  std::set<fuse_ino_t> seen;
  while (!folders.empty()) {
    fuse_ino_t at = folders.front();
    folders.pop_front();
    if (!seen.insert(at).second) continue;
    {
      std::lock_guard lock(mutex_);
      Node* node = table_.find(at);
      if (!node) continue;
      if (!node->folder) {
        files.push_back(at);
        continue;
      }
    }
    if (ensureListed(at) != 0) continue;
    std::lock_guard lock(mutex_);
    if (Node* folder = table_.find(at))
      for (const auto& [_, child] : folder->children) folders.push_back(child);
  }
  return files;
}

// Pins whose items this run has not met yet are found by the path the saved tree kept.
void MountedDomain::keepPinned() {
  std::vector<fuse_ino_t> roots;
  std::vector<std::string> unmet;
  {
    std::lock_guard lock(mutex_);
    for (const auto& id : pins_->all()) {
      if (Node* node = table_.byIdentifier(id); node && (node->parent || node->ino == FUSE_ROOT_ID))
        roots.push_back(node->ino);
      else if (auto path = savedTree_->pathOf(id))
        unmet.push_back(*path);
    }
  }
  for (const auto& path : unmet) {
    fuse_ino_t at = FUSE_ROOT_ID;
    for (std::size_t start = 0; at && start < path.size();) {
      auto slash = path.find('/', start);
      auto name =
          path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
      if (ensureListed(at) != 0) at = 0;
      std::lock_guard lock(mutex_);
      at = at ? table_.child(at, name) : 0;
      start = slash == std::string::npos ? path.size() : slash + 1;
    }
    if (at) roots.push_back(at);
  }
  std::vector<fuse_ino_t> wanted;
  for (auto root : roots)
    for (auto file : filesUnder(root)) {
      std::lock_guard lock(mutex_);
      Node* node = table_.find(file);
      if (!node) continue;
      if (!hasLocalContents(*node) && !useKeptCopy(*node))
        wanted.push_back(file);
      else
        cache_->setPinned(node->id, true);
    }
  {
    // Copies no pin covers any more may go.
    std::lock_guard lock(mutex_);
    for (const auto& id : cache_->items()) {
      const Node* node = table_.byIdentifier(id);
      if (node || pins_->empty()) cache_->setPinned(id, node && isPinned(*node));
    }
  }
  std::atomic<std::size_t> next{0};
  auto fetcher = [&] {
    for (std::size_t i; (i = next++) < wanted.size();) {
      {
        std::lock_guard lock(threadMutex_);
        if (stopping_) return;
      }
      if (materialise(wanted[i]) != 0) continue;
      std::lock_guard lock(mutex_);
      if (Node* node = table_.find(wanted[i])) cache_->setPinned(node->id, isPinned(*node));
    }
  };
  std::vector<std::thread> fetchers;
  for (int i = 1; i < kPinFetches && i < static_cast<int>(wanted.size()); ++i)
    fetchers.emplace_back(fetcher);
  fetcher();
  for (auto& thread : fetchers) thread.join();
}

void MountedDomain::pin(fuse_ino_t ino, bool pinned) {
  Node* node = table_.find(ino);
  if (!node) return;
  if (pinned)
    pins_->add(node->id);
  else
    pins_->remove(node->id);
  kickKeeper();
}

// "Free up space": the clean copies under `ino` go now, and no pin keeps them any more.
int MountedDomain::freeCopies(fuse_ino_t ino) {
  auto files = filesUnder(ino);
  std::lock_guard lock(mutex_);
  std::unordered_set<fuse_ino_t> open;
  for (const auto& [_, handle] : handles_) open.insert(handle.ino);
  auto under = [&](const Node* node) {
    for (; node; node = node->parent ? table_.find(node->parent) : nullptr)
      if (node->ino == ino) return true;
    return false;
  };
  for (const auto& id : std::vector<ItemIdentifier>(pins_->all().begin(), pins_->all().end()))
    if (under(table_.byIdentifier(id))) pins_->remove(id);
  for (auto file : files) {
    Node* node = table_.find(file);
    if (!node) continue;
    pins_->remove(node->id);
    if (open.count(file) || holdsLocalChanges(*node) || !cache_->versionOf(node->id)) continue;
    cache_->drop(node->id);
    if (cache_->holds(node->local)) table_.setLocal(*node, {});
  }
  return 0;
}

}  // namespace QuorvelleDrive::fuse

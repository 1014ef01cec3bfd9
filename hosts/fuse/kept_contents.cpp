// What the mount keeps of its drive between runs, and how the tree uses it: clean copies served
// from the cache with no fetch, fetched and landed bytes joining the cache, room made before a
// fetch, and the status each file shows. With mutex_ held unless noted.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <unordered_set>

#include "mounted_domain.h"
#include "platform/file_descriptor.h"

namespace QuorvelleDrive::fuse {

namespace {

// Room the database needs to record a few changes: the size of the reserve, and how little free
// space counts as full.
constexpr std::int64_t kReserve = 1 << 20;

std::int64_t freeSpaceAt(const std::filesystem::path& folder) {
  struct statvfs st {};
  if (::statvfs(folder.c_str(), &st) != 0) return INT64_MAX;
  return static_cast<std::int64_t>(st.f_bavail) * static_cast<std::int64_t>(st.f_frsize);
}

// Space set aside while there is plenty, given back when the disk is full, so that removals
// (which free space) and the outbox's records of uploads can still be written.
void makeReserve(const std::filesystem::path& file) {
  if (std::filesystem::exists(file) || freeSpaceAt(file.parent_path()) < 4 * kReserve) return;
  FileDescriptor fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid()) return;
  bool ok = ::posix_fallocate(fd.get(), 0, kReserve) == 0;
  fd.reset();
  if (!ok) ::unlink(file.c_str());
}

}  // namespace

// Not under mutex_: called by run() before any request or thread.
void MountedDomain::openKept() {
  std::filesystem::create_directories(options_.kept);
  database_ = std::make_unique<MountDatabase>(options_.kept / "mount.db");
  cache_ = std::make_unique<ContentCache>(*database_, options_.kept / "cache", options_.cache);
  pins_ = std::make_unique<Pins>(*database_);
  setHere_ = std::make_unique<SetHere>(*database_);
  savedTree_ = std::make_unique<SavedTree>(*database_);
  makeReserve(options_.kept / "reserve");
  auto lock = database_->lock();
  database_->setNote("cache_size", std::to_string(options_.cache.size));
  database_->setNote("cache_min_free", std::to_string(options_.cache.minFree));
}

void MountedDomain::ensureRoomToRecord() {
  if (freeSpaceAt(options_.kept) >= kReserve) return;
  makeRoom(INT64_MAX / 2);
  if (freeSpaceAt(options_.kept) >= kReserve) return;
  ::unlink((options_.kept / "reserve").c_str());
}

void MountedDomain::restoreReserve() {
  makeReserve(options_.kept / "reserve");
}

std::string MountedDomain::contentVersionOf(const Node& node) const {
  if (!node.folder && (Outbox::isProvisional(node.id) || holdsLocalChanges(node)))
    return SetHere::kPending;
  return node.item ? node.item->itemVersion().contentVersion : std::string();
}

void MountedDomain::keepSetHere(const Node& node, int toSet, mode_t mode) {
  // A truncation moves mtime as a write does: nothing was set by hand.
  if (toSet & FUSE_SET_ATTR_SIZE) toSet &= ~(FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW);
  auto version = contentVersionOf(node);
  std::optional<timespec> atime, mtime;
  if (toSet & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_ATIME_NOW)) atime = node.times.atime;
  if (toSet & (FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW)) mtime = node.times.mtime;
  if (atime || mtime) setHere_->setTimes(node.id, version, atime, mtime);
  if (toSet & FUSE_SET_ATTR_MODE) setHere_->setMode(node.id, version, mode);
}

void MountedDomain::keepCreatedMode(const Node& node, mode_t mode) {
  mode &= 07777;  // the kernel applied the umask already
  if (mode == (node.folder ? 0755 : 0644)) return;
  try {
    setHere_->setMode(node.id, contentVersionOf(node), mode);
  } catch (...) {
    // Not recorded (a full disk): it shows the usual mode.
  }
}

bool MountedDomain::useKeptCopy(Node& node) {
  if (!node.item || node.folder || holdsLocalChanges(node)) return false;
  auto version = node.item->itemVersion();
  auto kept = cache_->lookup(node.id, version.contentVersion);
  if (!kept) return false;
  table_.setLocal(node, *kept);
  node.base = version;
  return true;
}

std::filesystem::path MountedDomain::keep(Node& node, const std::filesystem::path& file,
                                          const ItemPtr& item) {
  try {
    return cache_->adopt(file, node.id, item->itemVersion().contentVersion, isPinned(node));
  } catch (...) {
    return file;  // not kept past this run, but served all the same
  }
}

// A copy no pending change names, with no writer, is a clean copy of the version it rests on.
void MountedDomain::settle(Node& node) {
  if (node.local.empty() || node.local.parent_path() != outbox_->folder() || node.writers > 0 ||
      node.deleted || Outbox::isProvisional(node.id) || !node.item ||
      outbox_->names(node.local.filename().string()) || holdsLocalChanges(node))
    return;
  if (node.unrecorded) {  // a truncation that was never recorded: the item's own bytes show
    table_.setLocal(node, {});
    return;
  }
  if (node.base.contentVersion != node.item->itemVersion().contentVersion) return;
  try {
    table_.setLocal(node,
                    cache_->adopt(node.local, node.id, node.base.contentVersion, isPinned(node)));
  } catch (...) {
    // Stays in the outbox folder, which the next start clears.
  }
}

void MountedDomain::landedHere(Node& node, const ItemIdentifier& was) {
  try {
    pins_->renamed(was, node.id);
    if (node.folder || holdsLocalChanges(node))
      setHere_->moveTo(was, node.id);  // still its own bytes to land, or no bytes at all
    else
      setHere_->landed(was, node.id, node.item->itemVersion().contentVersion);
  } catch (...) {
    // Not recorded (a full disk): what was set shows for this run only.
  }
  settle(node);
}

void MountedDomain::makeRoom(std::int64_t incoming) {
  std::unordered_set<fuse_ino_t> open;
  for (const auto& [_, handle] : handles_) open.insert(handle.ino);
  auto gone = cache_->evict(incoming, [&](const ItemIdentifier& id) {
    const Node* node = table_.byIdentifier(id);
    return node && (open.count(node->ino) || node->writers > 0);
  });
  for (const auto& id : gone)
    if (Node* node = table_.byIdentifier(id); node && cache_->holds(node->local))
      table_.setLocal(*node, {});
}

void MountedDomain::forgetKept(const Node& node) {
  try {
    pins_->remove(node.id);
    setHere_->forget(node.id);
    cache_->drop(node.id);
    savedTree_->forget(node.id);
  } catch (...) {
    // Left for eviction, or for the next start (a full disk).
  }
}

void MountedDomain::keepInTree(const ItemPtr& item) {
  try {
    savedTree_->note(item);
  } catch (...) {
    // Not recorded (a full disk): an offline start shows the listing kept before.
  }
}

bool MountedDomain::isPinned(const Node& node) const {
  for (const Node* at = &node; at; at = at->parent ? table_.find(at->parent) : nullptr)
    if (pins_->has(at->id)) return true;
  return false;
}

std::string MountedDomain::statusOf(const Node& node) const {
  if (outbox_->placement(node.id)) {
    bool sent = false;
    for (const auto& [_, e] : outbox_->entries()) {
      if (e.item != node.id) continue;
      if (e.stage == Stage::parked) return "parked: " + e.error;
      sent = sent || (e.stage == Stage::sent && e.error.empty());  // not one waiting to retry
    }
    return sent ? "uploading" : "pending";
  }
  if (node.folder) return isPinned(node) ? "pinned" : node.listed ? "cached" : "cloud";
  if (!hasLocalContents(node) &&
      !(node.item && cache_->versionOf(node.id) == node.item->itemVersion().contentVersion))
    return "cloud";
  return isPinned(node) ? "pinned" : "cached";
}

}  // namespace QuorvelleDrive::fuse

// Each file's one local copy, read and written in place by every descriptor: served from the
// cache when it holds the current version, else fetched once per version (concurrent opens share
// the fetch) and kept in the cache; moved into the outbox folder once written, where it is the
// staged bytes of the file's pending change, and back into the cache once that change landed.
// Nothing is uploaded from here: the outbox records that the bytes changed, the uploader sends
// them.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "boundaries/file_provider_error.h"
#include "errno_map.h"
#include "mounted_domain.h"

namespace QuorvelleDrive::fuse {

// Everything readable from `from` (nothing when it is -1) into a fresh owner-only file.
int MountedDomain::copyInto(int from, const std::filesystem::path& to) {
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0) return errno;
  int err = 0;
  for (off_t offset = 0; from >= 0;) {
    ssize_t n = ::sendfile(out, from, &offset, 1 << 30);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;
  }
  if (::close(out) != 0 && !err) err = errno;
  return err;
}

// A writer keeps the copy it writes into even before its first write.
bool MountedDomain::holdsLocalChanges(const Node& node) const {
  return node.writers > 0 || outbox_->holdsContents(node.id);
}

bool MountedDomain::hasLocalContents(const Node& node) const {
  if (node.local.empty()) return false;
  return holdsLocalChanges(node) ||
         (node.item && node.base.contentVersion == node.item->itemVersion().contentVersion);
}

MountedDomain::Copy MountedDomain::fetchCopy(const ItemIdentifier& id, std::uint64_t size) {
  Copy got;
  try {
    auto fetched = bridge_.fetch(id, size);
    // A fetch's own file errors are this machine's: a full disk is ENOSPC, not a file too big.
    bool full = !fetched.ok() && *fetched.error == cocoaError(CocoaError::fileWriteOutOfSpace);
    got.err = full                 ? ENOSPC
              : !fetched.ok()      ? errnoFor(*fetched.error)
              : fetched.value.item ? 0
                                   : EIO;
    got.file = fetched.value.file;
    got.item = fetched.value.item;
  } catch (...) {
    got.err = errnoForCurrentException();
  }
  return got;
}

int MountedDomain::materialise(fuse_ino_t ino, bool* fetchedNow) {
  std::unique_lock lock(mutex_);
  while (true) {
    Node* node = table_.find(ino);
    if (!node) return ENOENT;
    if (node->folder) return EISDIR;
    if (hasLocalContents(*node)) return 0;
    // Made here and its bytes gone from the outbox folder: nothing to fetch them from.
    if (Outbox::isProvisional(node->id)) return EIO;
    if (useKeptCopy(*node)) return 0;
    if (auto ticket = node->fetching) {
      fetchDone_.wait(lock, [&] { return ticket->done; });
      if (ticket->err) return ticket->err;
      continue;
    }
    auto id = node->id;
    auto documentSize = node->item ? node->item->documentSize() : std::nullopt;
    std::int64_t size = documentSize ? std::max<std::int64_t>(0, documentSize->integerValue()) : 0;
    makeRoom(size);
    auto asked = versionOf(*node).contentVersion;
    auto ticket = std::make_shared<FetchInFlight>();
    node->fetching = ticket;  // from here on nothing throws until the ticket is done
    lock.unlock();
    auto got = fetchCopy(id, size);
    if (got.err == ENOSPC) {  // once more, with every copy that may go gone
      removeQuietly(got.file);
      lock.lock();
      try {
        makeRoom(INT64_MAX / 2);
      } catch (...) {
      }
      lock.unlock();
      got = fetchCopy(id, size);
    }
    lock.lock();
    node = table_.find(ino);
    ticket->done = true;
    ticket->err = got.err;
    fetchDone_.notify_all();
    if (node && node->fetching == ticket) node->fetching.reset();
    if (got.err || !node || hasLocalContents(*node)) {  // or gone, or written meanwhile
      removeQuietly(got.file);
      return got.err ? got.err : node ? 0 : ENOENT;
    }
    // A listing showed another version while the bytes were on their way, so they may be older
    // than what the listing shows: fetched again rather than taking the file back.
    auto listed = versionOf(*node).contentVersion;
    if (listed != asked && listed != got.item->itemVersion().contentVersion) {
      removeQuietly(got.file);
      continue;
    }
    table_.setLocal(*node, keep(*node, got.file, got.item));
    if (versionOf(*node).contentVersion != got.item->itemVersion().contentVersion)
      keepInTree(got.item);  // newer than the listing
    node->base = got.item->itemVersion();
    table_.update(*node, got.item, wallClock());
    if (fetchedNow) *fetchedNow = true;
    return 0;
  }
}

int MountedDomain::openContents(fuse_ino_t ino, int flags, int* fd, bool* fetchedNow) {
  // A fetch that ends between materialise and the lock may have replaced the copy; what the
  // node holds under the lock is current.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (int err = materialise(ino, fetchedNow)) return err;
    std::lock_guard lock(mutex_);
    Node* node = table_.find(ino);
    if (!node) return ENOENT;
    if (!hasLocalContents(*node)) continue;
    *fd = ::open(node->local.c_str(), flags | O_CLOEXEC);
    if (*fd < 0 && errno == ENOENT && cache_->holds(node->local)) {  // removed by hand
      cache_->drop(node->id);
      table_.setLocal(*node, {});
      continue;
    }
    if (*fd < 0) return errno;
    if ((flags & O_ACCMODE) != O_RDONLY) ++node->writers;
    return 0;
  }
  return EIO;
}

int MountedDomain::prepareForWriting(fuse_ino_t ino, bool truncate, bool* fetchedNow) {
  if (!truncate)
    if (int err = materialise(ino, fetchedNow)) return err;
  std::lock_guard lock(mutex_);
  Node* node = table_.find(ino);
  if (!node) return ENOENT;
  if (node->folder) return EISDIR;
  if (hasLocalContents(*node)) {
    stage(*node);
    return 0;
  }
  if (!truncate) return EIO;  // replaced meanwhile; the caller's open finds out
  // Contents about to be replaced whole need no fetch.
  auto fresh = outbox_->pathOf(Outbox::freshDataName());
  if (int err = copyInto(-1, fresh)) return err;
  table_.setLocal(*node, fresh);
  node->unrecorded = true;  // not the item's bytes until the truncation is recorded
  node->base = versionOf(*node);
  return 0;
}

// Renaming keeps the inode, so descriptors already open on the copy go on with it.
void MountedDomain::stage(Node& node) {
  if (node.local.parent_path() == outbox_->folder()) return;
  auto staged = outbox_->pathOf(Outbox::freshDataName());
  if (cache_->holds(node.local)) cache_->release(node.id);  // a full disk stops it here
  std::filesystem::rename(node.local, staged);
  table_.setLocal(node, staged);
}

void MountedDomain::noteWritten(Node& node) {
  if (node.deleted || node.folder || node.parent == 0) return;
  try {
    setHere_->written(node.id);
    outbox_->contentsChanged(node.id, placeOf(node), node.base, node.local.filename().string(),
                             node.writers > 0);
  } catch (...) {
    settle(node);  // with no writer left, at once
    throw;
  }
  node.unrecorded = false;  // the entry names the whole copy
}

void MountedDomain::closeWriter(fuse_ino_t ino) {
  {
    std::lock_guard lock(mutex_);
    Node* node = table_.find(ino);
    if (!node || --node->writers > 0) return;
    node->writers = 0;
    outbox_->released(node->id);
    settle(*node);
    table_.forgetIfUnused(ino);
  }
  uploader_->kick();
  kickKeeper();
}

// The local copy's bytes first, then the folder entry of a file staged since, then the
// outbox's record of the change.
int MountedDomain::makeDurable(fuse_ino_t ino, int fd) {
  if (::fdatasync(fd) != 0) return errno;
  std::lock_guard lock(mutex_);
  Node* node = table_.find(ino);
  if (!node || !outbox_->holdsContents(node->id)) return 0;
  int dir = ::open(outbox_->folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return errno;
  int err = ::fsync(dir) == 0 ? 0 : errno;
  ::close(dir);
  if (err) return err;
  outbox_->makeDurable();
  return 0;
}

// Called from an open request: dropping only attributes takes no inode lock in the kernel, so
// it is safe here, and it has to land before the first read, which the kernel cuts at the size
// it holds.
void MountedDomain::dropKernelAttributes(fuse_ino_t ino) {
  fuse_lowlevel_notify_inval_inode(session_, ino, -1, 0);
}

}  // namespace QuorvelleDrive::fuse

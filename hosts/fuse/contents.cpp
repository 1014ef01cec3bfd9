// Each file's one local copy: fetched once per version (concurrent opens share the fetch),
// read and written in place by every descriptor, and uploaded from a snapshot after writes.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "boundaries/file_provider_error.h"
#include "errno_map.h"
#include "mounted_domain.h"
#include "platform/uuid.h"

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

int MountedDomain::copyFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  int err = copyInto(in, to);
  ::close(in);
  return err;
}

std::filesystem::path MountedDomain::scratchFile() const {
  return options_.scratch / randomUUIDString();
}

// A writer keeps the copy it writes into even before its first write.
bool MountedDomain::holdsLocalChanges(const Node& node) const {
  return node.dirty || node.uploading > 0 || node.writers > 0 ||
         journal_.pendingFor(node.id).has_value();
}

bool MountedDomain::hasLocalContents(const Node& node) const {
  if (node.local.empty()) return false;
  return holdsLocalChanges(node) ||
         (node.item && node.base.contentVersion == node.item->itemVersion().contentVersion);
}

MountedDomain::Copy MountedDomain::fetchCopy(const ItemIdentifier& id,
                                             const std::optional<PendingUpload>& pending) {
  Copy got;
  try {
    if (pending) {  // bytes that never reached the companion, from an earlier run
      got.file = scratchFile();
      got.err = copyFile(pending->data, got.file);
      got.base = pending->base;
    } else {
      auto fetched = bridge_.fetch(id);
      got.err = !fetched.ok() ? errnoFor(*fetched.error) : fetched.value.item ? 0 : EIO;
      got.file = fetched.value.file;
      got.item = fetched.value.item;
      if (got.item) got.base = got.item->itemVersion();
    }
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
    if (auto ticket = node->fetching) {
      fetchDone_.wait(lock, [&] { return ticket->done; });
      if (ticket->err) return ticket->err;
      continue;
    }
    auto id = node->id;
    auto pending = journal_.pendingFor(id);
    auto ticket = std::make_shared<FetchInFlight>();
    node->fetching = ticket;  // from here on nothing throws until the ticket is done
    lock.unlock();
    auto got = fetchCopy(id, pending);
    int err = got.err;
    lock.lock();
    node = table_.find(ino);
    // Pending bytes that vanished were uploaded meanwhile: the item is fetched instead.
    bool again = pending && err == ENOENT && node;
    ticket->done = true;
    ticket->err = again ? 0 : err;
    fetchDone_.notify_all();
    if (node && node->fetching == ticket) node->fetching.reset();
    if (again || err || !node || hasLocalContents(*node)) {  // or gone, or written meanwhile
      removeQuietly(got.file);
      if (again) continue;
      return err ? err : node ? 0 : ENOENT;
    }
    removeQuietly(node->local);
    node->local = got.file;
    node->base = got.base;
    if (got.item) table_.update(*node, got.item, wallClock());
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
    if (*fd < 0) return errno;
    if ((flags & O_ACCMODE) != O_RDONLY) ++node->writers;
    return 0;
  }
  return EIO;
}

int MountedDomain::prepareForWriting(fuse_ino_t ino, bool truncate, bool* fetchedNow) {
  if (!truncate) return materialise(ino, fetchedNow);
  std::lock_guard lock(mutex_);
  Node* node = table_.find(ino);
  if (!node) return ENOENT;
  if (node->folder) return EISDIR;
  if (hasLocalContents(*node)) return 0;  // the open truncates it
  // Contents about to be replaced whole need no fetch.
  auto fresh = scratchFile();
  if (int err = copyInto(-1, fresh)) return err;
  removeQuietly(node->local);
  node->local = fresh;
  node->base = node->item ? node->item->itemVersion() : ItemVersion{};
  node->dirty = true;
  return 0;
}

// Called from an open request: dropping only attributes takes no inode lock in the kernel, so
// it is safe here, and it has to land before the first read, which the kernel cuts at the size
// it holds.
void MountedDomain::dropKernelAttributes(fuse_ino_t ino) {
  fuse_lowlevel_notify_inval_inode(session_, ino, -1, 0);
}

int MountedDomain::upload(fuse_ino_t ino) {
  ItemPtr changed;
  ItemVersion base;
  std::filesystem::path local;
  {
    std::lock_guard lock(mutex_);
    Node* node = table_.find(ino);
    if (!node || !node->dirty || node->local.empty()) return 0;
    node->dirty = false;  // a write from here on makes it dirty again, for the next upload
    if (node->deleted) return 0;
    ++node->uploading;
    const Node* parent = table_.find(node->parent);
    changed = hostItem(node->id, parent ? parent->id : node->id, node->name);
    base = node->base;
    local = node->local;
  }
  auto snapshot = journal_.newDataPath();
  int err = copyFile(local, snapshot);
  Outcome<Changed> result;
  if (!err) result = bridge_.modify(changed, base, ItemField::contents, snapshot);
  std::lock_guard lock(mutex_);
  Node* node = table_.find(ino);
  if (node) --node->uploading;
  auto keepDirty = [&](int why) {
    removeQuietly(snapshot);
    if (node) node->dirty = true;  // retried at the next close or poll
    return why;
  };
  if (err) return keepDirty(err);
  if (!result.ok()) {
    if (node && node->deleted) {  // removed while on its way: nothing to keep
      removeQuietly(snapshot);
      return 0;
    }
    try {
      journal_.add({"", changed->itemIdentifier(), changed->parentItemIdentifier(),
                    changed->filename(), base, snapshot, 1});
    } catch (...) {
      return keepDirty(errnoForCurrentException());
    }
    wake_.notify_all();
    return 0;  // nothing is lost: the journal retries it
  }
  removeQuietly(snapshot);
  if (auto pending = journal_.pendingFor(changed->itemIdentifier())) {
    journal_.remove(pending->key);
    removeQuietly(pending->data);
  }
  if (node && result.value.item) {
    node->item = result.value.item;
    node->base = result.value.item->itemVersion();
    if (result.value.shouldFetchContent && !holdsLocalChanges(*node)) {
      removeQuietly(node->local);  // the companion kept its own bytes: fetch them next time
      node->local.clear();
    }
  }
  return 0;
}

void MountedDomain::retryPending() {
  for (auto& upload : journal_.pending()) {
    auto result = bridge_.modify(hostItem(upload.id, upload.parent, upload.name), upload.base,
                                 ItemField::contents, upload.data);
    // Deleted elsewhere while these bytes waited: they come back as a new file rather than
    // being retried against an item that will never return.
    bool recreated = false;
    if (!result.ok() && *result.error == fileProviderError(FileProviderError::noSuchItem)) {
      result = bridge_.create(hostItem(ItemIdentifier("recovered"), upload.parent, upload.name),
                              upload.data);
      recreated = true;  // the poller brings the new item in under its own identifier
    }
    if (!result.ok()) continue;
    std::lock_guard lock(mutex_);
    journal_.remove(upload.key);
    Node* node = recreated ? nullptr : table_.byIdentifier(upload.id);
    if (node && result.value.item) {
      node->item = result.value.item;
      node->base = result.value.item->itemVersion();
      if (node->local.empty() && !result.value.shouldFetchContent) {
        auto kept = scratchFile();  // these bytes are now the current version: keep them
        std::error_code ec;
        std::filesystem::rename(upload.data, kept, ec);
        if (!ec) node->local = kept;
      } else if (result.value.shouldFetchContent && !holdsLocalChanges(*node)) {
        removeQuietly(node->local);
        node->local.clear();
      }
    }
    removeQuietly(upload.data);
  }
}

void MountedDomain::uploadLeftovers() {
  std::vector<fuse_ino_t> left;
  {
    std::lock_guard lock(mutex_);
    table_.forEach([&](Node& node) {
      if (node.dirty && node.writers == 0 && node.uploading == 0 && !node.deleted)
        left.push_back(node.ino);
    });
  }
  for (auto ino : left) upload(ino);
}

}  // namespace QuorvelleDrive::fuse

#include "mounted_domain.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <set>

#include "boundaries/file_provider_error.h"
#include "errno_map.h"
#include "platform/content_type.h"
#include "platform/uuid.h"

namespace QuorvelleDrive::fuse {
namespace {

constexpr double kCacheSeconds = 1.0;

bool isFolder(const ItemPtr& item) {
  auto type = item ? item->contentType() : std::nullopt;
  return type && type->conforms(ContentType::folder());
}

timespec toTimespec(double seconds) {
  if (!(seconds > -1e15 && seconds < 1e15)) seconds = 0;  // keep the cast in range
  double whole = std::floor(seconds);
  return {static_cast<time_t>(whole), static_cast<long>((seconds - whole) * 1e9)};
}

void removeQuietly(const std::filesystem::path& path) {
  std::error_code ec;
  if (!path.empty()) std::filesystem::remove(path, ec);
}

}  // namespace

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
  ::close(out);
  return err;
}

int MountedDomain::copyFile(const std::filesystem::path& from, const std::filesystem::path& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  int err = copyInto(in, to);
  ::close(in);
  return err;
}

MountedDomain::MountedDomain(std::shared_ptr<ReplicatedExtension> extension, MountOptions options)
    : bridge_(std::move(extension), options.timeout),
      options_(std::move(options)),
      journal_(options_.stateDirectory / "journal") {
  ::chmod(options_.stateDirectory.c_str(), 0700);
  std::error_code ec;
  std::filesystem::remove_all(options_.stateDirectory / "scratch", ec);
  std::filesystem::create_directories(options_.stateDirectory / "scratch");
  ::chmod((options_.stateDirectory / "scratch").c_str(), 0700);
  Node root;
  root.ino = FUSE_ROOT_ID;
  root.id = rootContainerItemIdentifier();
  root.folder = true;
  root.lookups = 1;
  nodes_.emplace(FUSE_ROOT_ID, std::move(root));
  byId_.emplace(rootContainerItemIdentifier(), FUSE_ROOT_ID);
}

MountedDomain::~MountedDomain() {
  for (auto& [_, handle] : handles_) ::close(handle.fd);
  for (auto& [_, node] : nodes_) removeQuietly(node.contentFile);  // fetched copies are ours
  std::error_code ec;
  std::filesystem::remove_all(options_.stateDirectory / "scratch", ec);
}

std::filesystem::path MountedDomain::scratchFile() const {
  return options_.stateDirectory / "scratch" / randomUUIDString();
}

std::filesystem::path MountedDomain::keepAsContent(const std::filesystem::path& snapshot) const {
  auto kept = scratchFile();
  std::error_code ec;
  std::filesystem::rename(snapshot, kept, ec);
  return ec ? snapshot : kept;
}

// ---- tree -------------------------------------------------------------------------------------

MountedDomain::Node* MountedDomain::find(fuse_ino_t ino) {
  auto it = nodes_.find(ino);
  return it == nodes_.end() ? nullptr : &it->second;
}

fuse_ino_t MountedDomain::adopt(const ItemPtr& item, fuse_ino_t parent) {
  auto id = item->itemIdentifier();
  auto known = byId_.find(id);
  fuse_ino_t ino = known != byId_.end() ? known->second : nextIno_++;
  Node& node = nodes_[ino];
  if (known == byId_.end()) {
    node.ino = ino;
    node.id = id;
    byId_.emplace(id, ino);
  }
  node.item = item;
  node.parent = parent;
  node.name = item->filename();
  node.folder = isFolder(item);
  return ino;
}

void MountedDomain::forgetIfUnused(fuse_ino_t ino) {
  Node* node = find(ino);
  if (!node || ino == FUSE_ROOT_ID || node->lookups > 0 || node->parent != 0 || node->writers > 0)
    return;
  removeQuietly(node->contentFile);
  byId_.erase(node->id);
  nodes_.erase(ino);
}

void MountedDomain::noteLocalChange(fuse_ino_t folder) {
  if (Node* node = find(folder)) ++node->localChanges;
}

void MountedDomain::applyListing(fuse_ino_t folderIno, SyncAnchor anchor,
                                 const std::vector<ItemPtr>& items, std::vector<Notice>* notices) {
  if (!find(folderIno)) return;
  std::map<std::string, fuse_ino_t> fresh;
  for (const auto& item : items) {
    if (!isUsableName(item->filename()) || fresh.count(item->filename())) continue;
    auto known = byId_.find(item->itemIdentifier());
    ItemPtr before = known != byId_.end() ? nodes_[known->second].item : nullptr;
    fuse_ino_t ino = adopt(item, folderIno);
    Node& node = nodes_[ino];
    if (before && before->itemVersion().contentVersion != item->itemVersion().contentVersion) {
      removeQuietly(node.contentFile);
      node.contentFile.clear();
      if (notices) notices->push_back({Notice::Inode, 0, ino, {}});
    } else if (before && before->itemVersion() != item->itemVersion() && notices) {
      notices->push_back({Notice::Attributes, 0, ino, {}});
    }
    fresh.emplace(item->filename(), ino);
  }
  Node& folder = nodes_[folderIno];
  auto old = std::move(folder.children);
  folder.children = fresh;
  folder.listed = true;
  folder.anchor = std::move(anchor);
  for (const auto& [name, ino] : old) {
    auto now = fresh.find(name);
    if (now != fresh.end() && now->second == ino) continue;
    if (notices)
      notices->push_back(now == fresh.end() ? Notice{Notice::Delete, folderIno, ino, name}
                                            : Notice{Notice::Entry, folderIno, 0, name});
    Node* gone = find(ino);
    if (gone && gone->parent == folderIno && !fresh.count(gone->name)) {
      gone->parent = 0;
      forgetIfUnused(ino);
    }
  }
  if (notices)
    for (const auto& [name, ino] : fresh)
      if (!old.count(name)) notices->push_back({Notice::Entry, folderIno, 0, name});
}

struct stat MountedDomain::attributes(const Node& node) const {
  struct stat st {};
  st.st_ino = node.ino;
  ItemCapabilities caps = node.item ? node.item->capabilities()
                                    : ItemCapability::allowsReading | ItemCapability::allowsWriting;
  st.st_mode = modeFor(node.folder, caps);
  st.st_nlink = node.folder ? 2 : 1;
  st.st_uid = getuid();
  st.st_gid = getgid();
  if (!node.folder) {
    struct stat local {};
    auto pending = journal_.pendingFor(node.id);
    if (!node.staged.empty() && ::stat(node.staged.c_str(), &local) == 0)
      st.st_size = local.st_size;
    else if (pending && ::stat(pending->data.c_str(), &local) == 0)
      st.st_size = local.st_size;
    else if (hasCurrentContents(node) && ::stat(node.contentFile.c_str(), &local) == 0)
      st.st_size = local.st_size;  // the bytes at hand, which may be newer than the listing
    else if (auto size = node.item ? node.item->documentSize() : std::nullopt)
      st.st_size = std::max<std::int64_t>(0, size->integerValue());
  }
  double mtime =
      node.item ? node.item->contentModificationDate().value_or(Date{}).timeIntervalSince1970 : 0;
  if (node.localMtime) mtime = *node.localMtime;
  st.st_mtim = st.st_ctim = st.st_atim = toTimespec(mtime);
  st.st_blksize = 4096;
  st.st_blocks = (st.st_size + 511) / 512;
  return st;
}

fuse_entry_param MountedDomain::entryFor(Node& node) {
  fuse_entry_param e{};
  e.ino = node.ino;
  e.attr = attributes(node);
  e.attr_timeout = kCacheSeconds;
  e.entry_timeout = kCacheSeconds;
  ++node.lookups;
  return e;
}

// ---- network steps ------------------------------------------------------------------------------

int MountedDomain::refresh(fuse_ino_t folderIno, bool notify) {
  ItemIdentifier id{""};
  std::uint64_t localChanges = 0;
  {
    std::lock_guard lock(mutex_);
    Node* folder = find(folderIno);
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
    Node* folder = find(folderIno);
    // A create, rename or delete here since the listing was asked for is already in the tree,
    // and the listing may predate it; the next poll lists again.
    if (folder && folder->listed && folder->localChanges != localChanges) return 0;
    applyListing(folderIno, anchor.ok() ? anchor.value : SyncAnchor(), listing.value,
                 notify ? &notices : nullptr);
  }
  post(std::move(notices));
  return 0;
}

int MountedDomain::ensureListed(fuse_ino_t folderIno) {
  {
    std::lock_guard lock(mutex_);
    Node* folder = find(folderIno);
    if (!folder) return ENOENT;
    if (!folder->folder) return ENOTDIR;
    if (folder->listed) return 0;
  }
  return refresh(folderIno, false);
}

int MountedDomain::materialise(fuse_ino_t ino, bool* fetchedNow) {
  ItemIdentifier id{""};
  {
    std::lock_guard lock(mutex_);
    Node* node = find(ino);
    if (!node) return ENOENT;
    if (localContents(*node)) return 0;
    id = node->id;
  }
  auto fetched = bridge_.fetch(id);
  if (!fetched.ok()) return errnoFor(*fetched.error);
  std::lock_guard lock(mutex_);
  Node* node = find(ino);
  if (!node) return ENOENT;
  if (node->contentFile != fetched.value.file) removeQuietly(node->contentFile);
  node->item = fetched.value.item;
  node->contentFile = fetched.value.file;
  node->contentVersion = fetched.value.item->itemVersion().contentVersion;
  if (fetchedNow) *fetchedNow = true;
  return 0;
}

int MountedDomain::openContents(fuse_ino_t ino, int* fd, bool* fetchedNow) {
  // The bytes materialise left may be replaced and removed before the lock is taken again (by a
  // concurrent fetch, or a last writer closing); what the node holds under the lock is current.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (int err = materialise(ino, fetchedNow)) return err;
    std::lock_guard lock(mutex_);
    Node* node = find(ino);
    if (!node) return ENOENT;
    if (auto local = localContents(*node)) {
      *fd = ::open(local->c_str(), O_RDONLY | O_CLOEXEC);
      return *fd < 0 ? errno : 0;
    }
  }
  return EIO;
}

std::optional<std::filesystem::path> MountedDomain::localContents(const Node& node) const {
  if (!node.staged.empty()) return node.staged;
  if (auto pending = journal_.pendingFor(node.id)) return pending->data;
  if (hasCurrentContents(node)) return node.contentFile;
  return std::nullopt;
}

bool MountedDomain::hasCurrentContents(const Node& node) {
  return !node.contentFile.empty() && node.item &&
         node.contentVersion == node.item->itemVersion().contentVersion;
}

// Called from an open request: dropping only attributes takes no inode lock in the kernel, so
// it is safe here, and it has to land before the first read, which the kernel cuts at the size
// it holds.
void MountedDomain::dropKernelAttributes(fuse_ino_t ino) {
  fuse_lowlevel_notify_inval_inode(session_, ino, -1, 0);
}

// Gives the node a staged copy to write into (shared by all writers of the node).
int MountedDomain::stageForWriting(fuse_ino_t ino, bool truncate, bool* fetchedNow) {
  {
    std::lock_guard lock(mutex_);
    Node* node = find(ino);
    if (!node) return ENOENT;
    if (node->folder) return EISDIR;
    if (!node->staged.empty()) return 0;
  }
  int source = -1;
  if (!truncate)
    if (int err = openContents(ino, &source, fetchedNow)) return err;
  auto staged = scratchFile();
  int copied = copyInto(source, staged);
  if (source >= 0) ::close(source);
  if (copied) return copied;
  std::lock_guard lock(mutex_);
  Node* node = find(ino);
  if (!node) return ENOENT;
  if (!node->staged.empty()) {  // another writer got there first
    removeQuietly(staged);
    return 0;
  }
  node->staged = staged;
  node->stagedBase = node->item ? node->item->itemVersion() : ItemVersion{};
  if (truncate) node->dirty = true;
  return 0;
}

// Sends the staged copy as the item's new contents. A failure keeps it in the journal for later.
int MountedDomain::upload(fuse_ino_t ino) {
  ItemPtr changed;
  ItemVersion base;
  std::filesystem::path staged;
  {
    std::lock_guard lock(mutex_);
    Node* node = find(ino);
    if (!node || !node->dirty || node->staged.empty()) return 0;
    node->dirty = false;
    if (node->deleted) return 0;
    changed = hostItem(node->id, nodes_.count(node->parent) ? nodes_[node->parent].id : node->id,
                       node->name);
    base = node->stagedBase;
    staged = node->staged;
  }
  auto snapshot = journal_.newDataPath();
  if (int err = copyFile(staged, snapshot)) return err;
  auto result = bridge_.modify(changed, base, ItemField::contents, snapshot);
  std::lock_guard lock(mutex_);
  Node* node = find(ino);
  if (!result.ok() && node && node->deleted) {
    removeQuietly(snapshot);  // deleted while the upload was on its way: nothing to keep
    return 0;
  }
  if (!result.ok()) {
    journal_.add({"", changed->itemIdentifier(), changed->parentItemIdentifier(),
                  changed->filename(), base, snapshot, 1});
    wake_.notify_all();
    return 0;  // nothing is lost: the journal retries it
  }
  if (auto pending = journal_.pendingFor(changed->itemIdentifier())) {
    journal_.remove(pending->key);
    removeQuietly(pending->data);
  }
  if (node && result.value.item) {
    node->item = result.value.item;
    node->stagedBase = result.value.item->itemVersion();
    node->localMtime.reset();
    removeQuietly(node->contentFile);
    node->contentFile.clear();
    if (!result.value.shouldFetchContent) {
      node->contentFile = keepAsContent(snapshot);
      node->contentVersion = result.value.item->itemVersion().contentVersion;
      return 0;
    }
  }
  removeQuietly(snapshot);
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
    auto known = recreated ? byId_.end() : byId_.find(upload.id);
    Node* node = known != byId_.end() ? find(known->second) : nullptr;
    if (node && result.value.item) {
      node->item = result.value.item;
      removeQuietly(node->contentFile);
      node->contentFile.clear();
      if (!result.value.shouldFetchContent) {
        node->contentFile = keepAsContent(upload.data);
        node->contentVersion = result.value.item->itemVersion().contentVersion;
        continue;
      }
    }
    removeQuietly(upload.data);
  }
}

// ---- threads ------------------------------------------------------------------------------------

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

void MountedDomain::pollLoop() {
  auto backoff = std::chrono::seconds(1);
  auto nextRetry = std::chrono::steady_clock::now();
  std::unique_lock lock(threadMutex_);
  while (!wake_.wait_for(lock, options_.poll, [&] { return stopping_; })) {
    lock.unlock();
    std::vector<std::pair<fuse_ino_t, std::pair<ItemIdentifier, SyncAnchor>>> folders;
    {
      std::lock_guard tree(mutex_);
      for (auto& [ino, node] : nodes_)
        if (node.folder && node.listed) folders.push_back({ino, {node.id, node.anchor}});
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
    if (!journal_.pending().empty() && std::chrono::steady_clock::now() >= nextRetry) {
      retryPending();
      bool left = !journal_.pending().empty();
      backoff = left ? std::min(backoff * 2, std::chrono::seconds(30)) : std::chrono::seconds(1);
      nextRetry = std::chrono::steady_clock::now() + backoff;
    }
    lock.lock();
  }
}

}  // namespace QuorvelleDrive::fuse

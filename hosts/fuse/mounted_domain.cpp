#include "mounted_domain.h"

#include <sys/stat.h>
#include <unistd.h>

namespace QuorvelleDrive::fuse {
namespace {

constexpr double kCacheSeconds = 1.0;

std::optional<std::int64_t> sizeOf(const std::filesystem::path& file) {
  struct stat local {};
  if (file.empty() || ::stat(file.c_str(), &local) != 0) return std::nullopt;
  return local.st_size;
}

}  // namespace

MountedDomain::MountedDomain(std::shared_ptr<ReplicatedExtension> extension, MountOptions options)
    : bridge_(std::move(extension), options.timeout, options.sameDrive),
      options_(std::move(options)),
      table_([this](const std::filesystem::path& local) { discard(local); }) {}

MountedDomain::~MountedDomain() {
  if (uploader_) uploader_->stop();
  for (auto& [_, handle] : handles_) ::close(handle.fd);
  // Staged bytes stay for the next run, kept copies for the next open.
}

std::vector<Entry> MountedDomain::pending() const {
  std::lock_guard lock(mutex_);
  std::vector<Entry> out;
  if (!outbox_) return out;
  for (const auto& [_, e] : outbox_->entries()) out.push_back(e);
  return out;
}

// The bytes at hand decide the size, since they may be newer than the listing. Times and modes
// set here show while the item holds the version they were set on; a folder's times move with
// its entries, so only its mode is kept.
struct stat MountedDomain::attributes(const Node& node) const {
  std::optional<std::int64_t> size;
  if (!node.folder && hasLocalContents(node)) size = sizeOf(node.local);
  auto st = table_.attributes(node, size);
  const auto* set = setHere_ ? setHere_->find(node.id, contentVersionOf(node)) : nullptr;
  if (!set) return st;
  if (set->mode) st.st_mode = (st.st_mode & S_IFMT) | *set->mode;
  if (node.folder) return st;
  if (set->atime) st.st_atim = *set->atime;
  if (set->mtime) st.st_mtim = *set->mtime;
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

Place MountedDomain::placeOf(const Node& node) const {
  const Node* parent = table_.find(node.parent);
  return {parent ? parent->id : rootContainerItemIdentifier(), node.name};
}

ItemVersion MountedDomain::versionOf(const Node& node) {
  return node.item ? node.item->itemVersion() : node.base;
}

Node& MountedDomain::makeLocal(fuse_ino_t parent, const std::string& name, const ItemIdentifier& id,
                               bool folder) {
  auto now = wallClock();
  Node& node = table_.make(id, folder, now);
  table_.attach(parent, name, node.ino, now);
  return node;
}

void MountedDomain::discard(const std::filesystem::path& local) {
  if (local.empty() || table_.usesLocal(local)) return;
  if (cache_ && cache_->holds(local)) return;  // kept for the next open, or the next mount
  if (outbox_ && local.parent_path() == outbox_->folder() &&
      outbox_->names(local.filename().string()))
    return;
  removeQuietly(local);
}

}  // namespace QuorvelleDrive::fuse

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
    : bridge_(std::move(extension), options.timeout),
      options_(std::move(options)),
      table_([this](const std::filesystem::path& local) { discard(local); }) {}

MountedDomain::~MountedDomain() {
  if (uploader_) uploader_->stop();
  for (auto& [_, handle] : handles_) ::close(handle.fd);
  // Staged bytes stay for the next run; fetched copies go with the mount's state folder.
}

std::vector<Entry> MountedDomain::pending() const {
  std::lock_guard lock(mutex_);
  std::vector<Entry> out;
  if (!outbox_) return out;
  for (const auto& [_, e] : outbox_->entries()) out.push_back(e);
  return out;
}

// The bytes at hand decide the size, since they may be newer than the listing.
struct stat MountedDomain::attributes(const Node& node) const {
  std::optional<std::int64_t> size;
  if (!node.folder && hasLocalContents(node)) size = sizeOf(node.local);
  return table_.attributes(node, size);
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
  if (outbox_ && local.parent_path() == outbox_->folder() &&
      outbox_->names(local.filename().string()))
    return;
  removeQuietly(local);
}

}  // namespace QuorvelleDrive::fuse

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
      journal_(options_.journal) {}

MountedDomain::~MountedDomain() {
  for (auto& [_, handle] : handles_) ::close(handle.fd);
  table_.forEach([](Node& node) { removeQuietly(node.local); });
}

// The bytes at hand decide the size, since they may be newer than the listing.
struct stat MountedDomain::attributes(const Node& node) const {
  std::optional<std::int64_t> size;
  if (!node.folder) {
    if (hasLocalContents(node))
      size = sizeOf(node.local);
    else if (auto pending = journal_.pendingFor(node.id))
      size = sizeOf(pending->data);
  }
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

}  // namespace QuorvelleDrive::fuse

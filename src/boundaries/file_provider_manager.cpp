#include "boundaries/file_provider_manager.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "platform/error.h"

namespace QuorvelleDrive {
namespace {

Error directoryError(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
      return cocoaError(CocoaError::fileWriteNoPermission);
    case ENOSPC:
    case EDQUOT:
      return cocoaError(CocoaError::fileWriteOutOfSpace);
    case EROFS:
      return cocoaError(CocoaError::fileWriteVolumeReadOnly);
    case ENOENT:
    case ENOTDIR:
      return cocoaError(CocoaError::fileNoSuchFile);
    default:
      return cocoaError(CocoaError::fileWriteUnknown);
  }
}

// mkdir -p with mode 0700 for every level it creates.
void makeOwnerOnlyDirectories(const std::filesystem::path& path) {
  std::filesystem::path partial;
  for (const auto& part : path) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) == 0 || errno == EEXIST) continue;
    throw directoryError(errno);
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) throw directoryError(errno);
  if (!S_ISDIR(info.st_mode)) throw directoryError(ENOTDIR);
}

class DirectoryManager : public FileProviderManager {
 public:
  explicit DirectoryManager(std::filesystem::path directory) : directory_(std::move(directory)) {}
  std::filesystem::path temporaryDirectoryURL() const override {
    makeOwnerOnlyDirectories(directory_);
    return directory_;
  }

 private:
  std::filesystem::path directory_;
};

std::filesystem::path defaultStateRoot() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
    return std::filesystem::path(state) / "quorvelle";
  if (const char* home = std::getenv("HOME"); home && *home)
    return std::filesystem::path(home) / ".local/state/quorvelle";
  return "/tmp/quorvelle-state";
}

}  // namespace

std::string stateComponentFor(const std::string& identifier) {
  std::string out;
  for (unsigned char c : identifier) {
    if (c == '/' || c == '%' || c == '\0') {
      static const char* hex = "0123456789ABCDEF";
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (out.empty() || out == "." || out == "..") out = "%" + out;
  return out;
}

std::shared_ptr<FileProviderManager> FileProviderManager::managerForDomain(const Domain& domain) {
  return DomainRegistry::shared().manager(domain);
}

DomainRegistry& DomainRegistry::shared() {
  static DomainRegistry registry;
  return registry;
}

void DomainRegistry::addDomain(const Domain& domain) {
  auto directory = hostStateRoot() / stateComponentFor(domain.identifier) / "tmp";
  std::lock_guard lock(mutex_);
  managers_[domain.identifier] = std::make_shared<DirectoryManager>(std::move(directory));
}

void DomainRegistry::removeAllDomains() {
  std::lock_guard lock(mutex_);
  managers_.clear();
}

std::shared_ptr<FileProviderManager> DomainRegistry::registered(const Domain& domain) const {
  std::lock_guard lock(mutex_);
  auto found = managers_.find(domain.identifier);
  return found == managers_.end() ? nullptr : found->second;
}

std::shared_ptr<FileProviderManager> DomainRegistry::manager(const Domain& domain) const {
  Lookup lookup;
  {
    std::lock_guard lock(mutex_);
    lookup = lookup_;
  }
  return lookup ? lookup(domain) : registered(domain);
}

std::filesystem::path DomainRegistry::hostStateRoot() const {
  std::lock_guard lock(mutex_);
  return stateRoot_ ? *stateRoot_ : defaultStateRoot();
}

void DomainRegistry::setHostStateRoot(std::filesystem::path root) {
  std::lock_guard lock(mutex_);
  stateRoot_ = std::move(root);
}

void DomainRegistry::setLookup(Lookup lookup) {
  std::lock_guard lock(mutex_);
  lookup_ = std::move(lookup);
}

}  // namespace QuorvelleDrive

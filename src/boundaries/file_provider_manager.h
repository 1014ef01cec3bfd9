// The host's per-domain manager and the registry that hands managers out.
//
// The host adds its domains first; managerForDomain yields none for a domain never added. Each
// manager's temporary directory is <host state root>/<domain identifier>/tmp, created with mode
// 0700 on first use. Tests may replace the registry's lookup with a double that fails on purpose.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "boundaries/domain.h"

namespace QuorvelleDrive {

// A name (a domain's or a group's identifier) as one folder name under the host state root;
// anything that could climb out (/, NUL, ".", "..") is escaped with %XX.
std::string stateComponentFor(const std::string& name);

class FileProviderManager {
 public:
  virtual ~FileProviderManager() = default;

  // The manager for `domain`, or nullptr when the host has not added it. Thread-safe.
  static std::shared_ptr<FileProviderManager> managerForDomain(const Domain& domain);

  // A directory the host takes files from; created owner-only when missing. Throws the
  // platform's file error when it cannot be had. Thread-safe.
  virtual std::filesystem::path temporaryDirectoryURL() const = 0;
};

// Process-wide list of the host's domains.
class DomainRegistry {
 public:
  using Lookup = std::function<std::shared_ptr<FileProviderManager>(const Domain&)>;

  static DomainRegistry& shared();

  // Adds (or re-adds) a domain; its manager keeps its files under the host state root.
  void addDomain(const Domain& domain);
  void removeAllDomains();
  std::shared_ptr<FileProviderManager> manager(const Domain& domain) const;

  // Default: $XDG_STATE_HOME/quorvelle, else ~/.local/state/quorvelle, else /tmp/quorvelle-state.
  std::filesystem::path hostStateRoot() const;
  void setHostStateRoot(std::filesystem::path root);

  // Replaces the lookup (nullptr restores the registry's own); for test doubles.
  void setLookup(Lookup lookup);

 private:
  DomainRegistry() = default;
  std::shared_ptr<FileProviderManager> registered(const Domain& domain) const;

  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<FileProviderManager>> managers_;
  std::optional<std::filesystem::path> stateRoot_;
  Lookup lookup_;
};

}  // namespace QuorvelleDrive

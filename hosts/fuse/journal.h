// Uploads that have not reached the companion yet. Each entry is a staged copy of the file and a
// small record beside it, kept under the mount's state directory until an upload succeeds, so
// nothing a user wrote is lost to a companion that is down, an unmount or a restart.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "boundaries/file_provider_item.h"

namespace QuorvelleDrive::fuse {

struct PendingUpload {
  std::string key;  // the entry's name in the journal
  ItemIdentifier id{""};
  ItemIdentifier parent{""};
  std::string name;
  ItemVersion base;
  std::filesystem::path data;  // the staged copy
  int attempts = 0;
};

class Journal {
 public:
  // Creates `directory` (0700) when missing. Throws the platform's file error when it cannot.
  explicit Journal(std::filesystem::path directory);

  const std::filesystem::path& directory() const { return directory_; }
  // A fresh path for a staged copy inside the journal's directory.
  std::filesystem::path newDataPath() const;

  // Records (or replaces) the pending upload of `upload.id`; its data file must be in the journal.
  void add(PendingUpload upload);
  void remove(const std::string& key);
  std::vector<PendingUpload> pending() const;
  std::optional<PendingUpload> pendingFor(const ItemIdentifier& id) const;

  // Entries found on disk, for `qdrive status` and for retries after a restart.
  static std::vector<PendingUpload> load(const std::filesystem::path& directory);

 private:
  std::filesystem::path directory_;
  mutable std::mutex mutex_;
  std::vector<PendingUpload> entries_;
};

}  // namespace QuorvelleDrive::fuse

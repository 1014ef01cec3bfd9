// Uploads that earlier versions of the mount kept pending in a journal folder: one JSON record
// (`<key>.json`) and one data file each. The outbox adopts them at start, so nothing they hold is
// lost to an upgrade.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "boundaries/file_provider_item.h"

namespace QuorvelleDrive::fuse {

struct LegacyUpload {
  std::string key;
  std::filesystem::path record;
  std::filesystem::path data;
  ItemIdentifier id{""};
  ItemIdentifier parent{""};
  std::string name;
  ItemVersion base;
};

// The readable records in `folder` (none when it is missing); torn or foreign files are skipped.
std::vector<LegacyUpload> readLegacyJournal(const std::filesystem::path& folder);

}  // namespace QuorvelleDrive::fuse

#include "legacy_journal.h"

#include "platform/files.h"
#include "platform/json.h"

namespace QuorvelleDrive::fuse {
namespace {

// Records kept every byte string as hex.
std::string unhex(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    out += static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
  return out;
}

}  // namespace

std::vector<LegacyUpload> readLegacyJournal(const std::filesystem::path& folder) {
  std::vector<LegacyUpload> out;
  std::error_code ec;
  for (const auto& file : std::filesystem::directory_iterator(folder, ec)) {
    if (file.path().extension() != ".json") continue;
    try {
      auto record = readJSON(readFile(file.path()).text()).as_object();
      auto text = [&](const char* key) { return unhex(record.at(key).as_string()); };
      LegacyUpload u;
      u.key = file.path().stem().string();
      u.record = file.path();
      u.data = folder / std::string(record.at("data").as_string());
      u.id = ItemIdentifier(text("id"));
      u.parent = ItemIdentifier(text("parent"));
      u.name = text("name");
      u.base = {text("contentVersion"), text("metadataVersion")};
      out.push_back(std::move(u));
    } catch (...) {
      // Not a record this mount wrote.
    }
  }
  return out;
}

}  // namespace QuorvelleDrive::fuse

#include "journal.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "platform/files.h"
#include "platform/json.h"
#include "platform/uuid.h"

namespace QuorvelleDrive::fuse {
namespace {

// Version bytes are opaque, so they are stored as hex to survive any content.
std::string hex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string unhex(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    out += static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
  return out;
}

std::filesystem::path recordPath(const std::filesystem::path& dir, const std::string& key) {
  return dir / (key + ".json");
}

void writeRecord(const std::filesystem::path& dir, const PendingUpload& u) {
  json::object record{{"id", hex(u.id.rawValue())},
                      {"parent", hex(u.parent.rawValue())},
                      {"name", hex(u.name)},
                      {"contentVersion", hex(u.base.contentVersion)},
                      {"metadataVersion", hex(u.base.metadataVersion)},
                      {"data", u.data.filename().string()}};
  std::string text = writeJSON(record);
  auto temporary = dir / (u.key + ".json.tmp");
  writeFile(temporary, std::as_bytes(std::span(text.data(), text.size())));
  std::filesystem::rename(temporary, recordPath(dir, u.key));
}

std::optional<PendingUpload> readRecord(const std::filesystem::path& file) {
  try {
    Buffer bytes = readFile(file);
    auto record = readJSON(bytes.text()).as_object();
    auto text = [&](const char* key) { return unhex(record.at(key).as_string()); };
    PendingUpload u;
    u.key = file.stem().string();
    u.id = ItemIdentifier(text("id"));
    u.parent = ItemIdentifier(text("parent"));
    u.name = text("name");
    u.base = ItemVersion{text("contentVersion"), text("metadataVersion")};
    u.data = file.parent_path() / std::string(record.at("data").as_string());
    if (!std::filesystem::exists(u.data)) return std::nullopt;
    return u;
  } catch (...) {
    return std::nullopt;  // a torn or foreign file is not an upload
  }
}

}  // namespace

Journal::Journal(std::filesystem::path directory) : directory_(std::move(directory)) {
  std::filesystem::create_directories(directory_);
  ::chmod(directory_.c_str(), 0700);
  entries_ = load(directory_);
}

std::filesystem::path Journal::newDataPath() const {
  return directory_ / (randomUUIDString() + ".data");
}

void Journal::add(PendingUpload upload) {
  if (upload.key.empty()) upload.key = upload.data.stem().string();
  writeRecord(directory_, upload);
  std::lock_guard lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->id == upload.id && it->key != upload.key) {
      std::error_code ec;
      std::filesystem::remove(recordPath(directory_, it->key), ec);
      std::filesystem::remove(it->data, ec);
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
  std::erase_if(entries_, [&](const PendingUpload& e) { return e.key == upload.key; });
  entries_.push_back(std::move(upload));
}

void Journal::remove(const std::string& key) {
  std::lock_guard lock(mutex_);
  std::error_code ec;
  std::filesystem::remove(recordPath(directory_, key), ec);
  std::erase_if(entries_, [&](const PendingUpload& e) { return e.key == key; });
}

std::vector<PendingUpload> Journal::pending() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

std::optional<PendingUpload> Journal::pendingFor(const ItemIdentifier& id) const {
  std::lock_guard lock(mutex_);
  for (const auto& e : entries_)
    if (e.id == id) return e;
  return std::nullopt;
}

std::vector<PendingUpload> Journal::load(const std::filesystem::path& directory) {
  std::vector<PendingUpload> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
    if (entry.path().extension() != ".json") continue;
    if (auto upload = readRecord(entry.path())) out.push_back(std::move(*upload));
  }
  return out;
}

}  // namespace QuorvelleDrive::fuse

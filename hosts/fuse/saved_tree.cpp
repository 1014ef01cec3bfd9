#include "saved_tree.h"

#include <charconv>
#include <cmath>
#include <set>

namespace QuorvelleDrive::fuse {
namespace {

struct KeptItem : FileProviderItem {
  ItemIdentifier id{""};
  ItemIdentifier parent{""};
  std::string name;
  std::string type;
  std::optional<std::int64_t> size;
  double modified = 0;
  double created = 0;
  ItemVersion version;
  ItemCapabilities caps = 0;

  ItemIdentifier itemIdentifier() const override { return id; }
  ItemIdentifier parentItemIdentifier() const override { return parent; }
  std::string filename() const override { return name; }
  std::optional<ContentType> contentType() const override {
    if (type.empty()) return std::nullopt;
    return ContentType::withIdentifier(type);
  }
  std::optional<Number> documentSize() const override {
    if (!size) return std::nullopt;
    return Number(*size);
  }
  std::optional<Date> contentModificationDate() const override { return Date{modified}; }
  std::optional<Date> creationDate() const override { return Date{created}; }
  ItemVersion itemVersion() const override { return version; }
  ItemCapabilities capabilities() const override { return caps; }
};

// Dates as the shortest text that reads back as the same double.
std::string textOf(const std::optional<Date>& date) {
  double value =
      date && std::isfinite(date->timeIntervalSince1970) ? date->timeIntervalSince1970 : 0;
  char text[32];
  auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

double dateFrom(const std::string& text) {
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

constexpr const char* kSelect =
    "SELECT item, parent, name, type, size, mtime, created, content_version, metadata_version, "
    "capabilities FROM tree";

constexpr const char* kInsert = "INSERT OR REPLACE INTO tree VALUES(?,?,?,?,?,?,?,?,?,?)";

void insertRow(Statement& insert, const ItemIdentifier& folder, const ItemPtr& item) {
  auto type = item->contentType();
  auto size = item->documentSize();
  auto version = item->itemVersion();
  insert.bind(item->itemIdentifier().rawValue())
      .bind(folder.rawValue())
      .bind(item->filename())
      .bind(type ? type->identifier() : std::string())
      .bind(size ? size->integerValue() : std::int64_t{-1})
      .bind(textOf(item->contentModificationDate()))
      .bind(textOf(item->creationDate()))
      .bind(version.contentVersion)
      .bind(version.metadataVersion)
      .bind(static_cast<std::int64_t>(item->capabilities()))
      .run();
}

ItemPtr itemFrom(const Statement& row) {
  auto size = row.integer(4);
  return keptItem(ItemIdentifier(row.bytes(0)), ItemIdentifier(row.bytes(1)), row.bytes(2),
                  row.bytes(3), size < 0 ? std::nullopt : std::optional(size),
                  dateFrom(row.bytes(5)), dateFrom(row.bytes(6)), {row.bytes(7), row.bytes(8)},
                  static_cast<ItemCapabilities>(row.integer(9)));
}

// What a listing shows of its items: identifiers, names and versions (a version moves with
// anything else about the item).
std::size_t hashOf(const std::vector<ItemPtr>& items) {
  std::size_t hash = items.size();
  auto mix = [&](const std::string& text) {
    hash = (hash ^ std::hash<std::string>()(text)) * 1099511628211ull;
  };
  for (const auto& item : items) {
    auto version = item->itemVersion();
    mix(item->itemIdentifier().rawValue());
    mix(item->filename());
    mix(version.contentVersion);
    mix(version.metadataVersion);
  }
  return hash;
}

}  // namespace

ItemPtr keptItem(ItemIdentifier id, ItemIdentifier parent, std::string name, std::string type,
                 std::optional<std::int64_t> size, double modified, double created,
                 ItemVersion version, ItemCapabilities capabilities) {
  auto item = std::make_shared<KeptItem>();
  item->id = std::move(id);
  item->parent = std::move(parent);
  item->name = std::move(name);
  item->type = std::move(type);
  item->size = size;
  item->modified = modified;
  item->created = created;
  item->version = std::move(version);
  item->caps = capabilities;
  return item;
}

void SavedTree::save(const ItemIdentifier& folder, const SyncAnchor& anchor,
                     const std::vector<ItemPtr>& items) {
  auto hash = hashOf(items);
  auto lock = db_.lock();
  if (auto it = kept_.find(folder); it != kept_.end() && it->second == hash) return;
  kept_.erase(folder);  // until the new one is recorded
  Transaction transaction(db_.db());
  Statement(db_.db(), "DELETE FROM tree WHERE parent = ?").bind(folder.rawValue()).run();
  Statement insert(db_.db(), kInsert);
  for (const auto& item : items) insertRow(insert, folder, item);
  Statement(db_.db(), "INSERT OR REPLACE INTO listed VALUES(?, ?)")
      .bind(folder.rawValue())
      .bind(anchor)
      .run();
  transaction.commit();
  kept_[folder] = hash;
}

void SavedTree::note(const ItemPtr& item) {
  auto lock = db_.lock();
  Transaction transaction(db_.db());
  forgetRow(item->itemIdentifier());
  auto parent = item->parentItemIdentifier();
  Statement insert(db_.db(), kInsert);
  insertRow(insert, parent, item);
  transaction.commit();
  kept_.erase(parent);
}

void SavedTree::forget(const ItemIdentifier& id) {
  auto lock = db_.lock();
  forgetRow(id);
}

// With db_.lock(). The folder it was in no longer holds the listing kept of it.
void SavedTree::forgetRow(const ItemIdentifier& id) {
  Statement parent(db_.db(), "SELECT parent FROM tree WHERE item = ?");
  parent.bind(id.rawValue());
  while (parent.step()) kept_.erase(ItemIdentifier(parent.bytes(0)));
  Statement(db_.db(), "DELETE FROM tree WHERE item = ?").bind(id.rawValue()).run();
}

// Only what hangs from the root by kept listings: items of folders that went away stay behind
// unseen.
std::map<ItemIdentifier, SavedTree::Listing> SavedTree::load() {
  auto lock = db_.lock();
  std::map<ItemIdentifier, Listing> folders;
  Statement listed(db_.db(), "SELECT folder, anchor FROM listed");
  while (listed.step()) folders[ItemIdentifier(listed.bytes(0))].anchor = listed.bytes(1);
  Statement items(db_.db(), kSelect);
  while (items.step()) {
    auto item = itemFrom(items);
    auto it = folders.find(item->parentItemIdentifier());
    if (it != folders.end()) it->second.items.push_back(std::move(item));
  }
  return folders;
}

bool SavedTree::empty() {
  auto lock = db_.lock();
  Statement query(db_.db(), "SELECT 1 FROM listed WHERE folder = ?");
  query.bind(rootContainerItemIdentifier().rawValue());
  bool found = false;
  while (query.step()) found = true;
  return !found;
}

ItemPtr SavedTree::find(const ItemIdentifier& id) {
  auto lock = db_.lock();
  Statement query(db_.db(), (std::string(kSelect) + " WHERE item = ?").c_str());
  query.bind(id.rawValue());
  ItemPtr found;
  while (query.step()) found = itemFrom(query);
  return found;
}

std::optional<std::string> SavedTree::pathOf(const ItemIdentifier& id) {
  std::string path;
  std::set<ItemIdentifier> seen;
  for (auto at = id; at != rootContainerItemIdentifier();) {
    if (!seen.insert(at).second) return std::nullopt;
    auto item = find(at);
    if (!item) return std::nullopt;
    path = path.empty() ? item->filename() : item->filename() + "/" + path;
    at = item->parentItemIdentifier();
  }
  return path;
}

}  // namespace QuorvelleDrive::fuse

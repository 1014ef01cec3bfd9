#include "model/item.h"

#include "boundaries/file_provider_error.h"
#include "channel/reply.h"

namespace QuorvelleDrive {
namespace {

constexpr const char* kRootWire = "1";
constexpr ItemCapabilities kWritableCapabilities =
    ItemCapability::allowsReading | ItemCapability::allowsWriting |
    ItemCapability::allowsReparenting | ItemCapability::allowsRenaming |
    ItemCapability::allowsDeleting;

// Where an item dictionary keeps each key the item reads, found in one pass (an object holds
// each key once, the last of any duplicates); a listing builds hundreds of thousands of items.
struct Keys {
  const json::value* id = nullptr;
  const json::value* parent = nullptr;
  const json::value* name = nullptr;
  const json::value* dir = nullptr;
  const json::value* writable = nullptr;
  const json::value* version = nullptr;
  const json::value* mtime = nullptr;
  const json::value* uploading = nullptr;
  const json::value* storageFull = nullptr;
  const json::value* size = nullptr;
};

Keys keysOf(const json::object& d) {
  Keys k;
  for (const auto& member : d) {
    const std::string_view key = member.key();
    const json::value* value = &member.value();
    switch (key.size()) {
      case 2:
        if (key == "id") k.id = value;
        break;
      case 3:
        if (key == "dir") k.dir = value;
        break;
      case 4:
        if (key == "name") k.name = value;
        if (key == "size") k.size = value;
        break;
      case 5:
        if (key == "mtime") k.mtime = value;
        break;
      case 6:
        if (key == "parent") k.parent = value;
        break;
      case 7:
        if (key == "version") k.version = value;
        break;
      case 8:
        if (key == "writable") k.writable = value;
        break;
      case 9:
        if (key == "uploading") k.uploading = value;
        break;
      case 11:
        if (key == "storageFull") k.storageFull = value;
        break;
      default:
        break;
    }
  }
  return k;
}

std::optional<std::string_view> stringOf(const json::value* v) {
  if (!v || !v->is_string()) return std::nullopt;
  return std::string_view(v->get_string());
}

// A missing or mistyped optional flag is false.
bool flagOf(const json::value* v) {
  return v && v->is_bool() && v->get_bool();
}

// One rule for every number the companion sends: integers, doubles, and booleans as 0 or 1.
std::optional<Number> numberOf(const json::value* v) {
  return v ? numberValue(*v) : std::nullopt;
}

ContentType fileType(std::string_view name) {
  auto data = ContentType::data();
  return ContentType::fromFilenameExtension(pathExtension(name), data).value_or(data);
}

const char* flag(bool value) {
  return value ? "true" : "false";
}

struct UploadState {
  bool isUploaded;
  bool isUploading;
  std::optional<Error> error;
};

UploadState uploadState(bool uploading, bool storageFull) {
  if (!uploading) return {true, false, std::nullopt};
  if (!storageFull) return {false, true, std::nullopt};
  return {false, false, fileProviderError(FileProviderError::insufficientQuota)};
}

}  // namespace

ItemIdentifier Item::identifier(std::string_view wire) {
  return wire == kRootWire ? rootContainerItemIdentifier() : ItemIdentifier(std::string(wire));
}

std::string Item::wire(const ItemIdentifier& identifier) {
  return identifier == rootContainerItemIdentifier() ? kRootWire : identifier.rawValue();
}

Item::Item(Fields f)
    : itemIdentifier_(std::move(f.itemIdentifier)),
      parentItemIdentifier_(std::move(f.parentItemIdentifier)),
      filename_(std::move(f.filename)),
      contentType_(std::move(f.contentType)),
      documentSize_(f.documentSize),
      date_(f.date),
      itemVersion_(std::move(f.itemVersion)),
      capabilities_(f.capabilities),
      isUploaded_(f.isUploaded),
      isUploading_(f.isUploading),
      uploadingError_(f.uploadingError ? std::make_shared<const Error>(std::move(*f.uploadingError))
                                       : nullptr) {}

std::shared_ptr<const Item> Item::make(const json::object& d) {
  const Keys k = keysOf(d);
  auto id = stringOf(k.id);
  auto parent = stringOf(k.parent);
  auto name = stringOf(k.name);
  if (!id || !parent || !name || !k.dir || !k.dir->is_bool()) return nullptr;
  const bool dir = k.dir->get_bool();

  const std::string_view version = stringOf(k.version).value_or("");
  const bool uploading = flagOf(k.uploading);
  const bool storageFull = flagOf(k.storageFull);
  auto mtime = numberOf(k.mtime);

  ItemIdentifier itemId = identifier(*id);
  bool isRoot = itemId == rootContainerItemIdentifier();
  auto upload = uploadState(uploading, storageFull);
  std::string metadata;
  metadata.reserve(version.size() + parent->size() + name->size() + 14);
  metadata.append(version).append("/").append(*parent).append("/").append(*name);
  metadata.append("/").append(flag(uploading)).append("/").append(flag(storageFull));

  return std::make_shared<const Item>(Fields{
      .itemIdentifier = std::move(itemId),
      .parentItemIdentifier = isRoot ? rootContainerItemIdentifier() : identifier(*parent),
      .filename = !name->empty() ? std::string(*name) : (isRoot ? "Quorvelle" : "unnamed"),
      .contentType = dir ? ContentType::folder() : fileType(*name),
      .documentSize = dir ? std::nullopt : numberOf(k.size),
      .date = Date{mtime ? mtime->doubleValue() : 0.0},
      .itemVersion = ItemVersion{std::string(version), std::move(metadata)},
      .capabilities = flagOf(k.writable) ? kWritableCapabilities : ItemCapability::allowsReading,
      .isUploaded = upload.isUploaded,
      .isUploading = upload.isUploading,
      .uploadingError = upload.error,
  });
}

std::shared_ptr<const Item> Reply::item() const {
  auto* value = json.if_contains("item");
  if (!value || !value->is_object()) return nullptr;
  return Item::make(value->as_object());
}

std::vector<std::shared_ptr<const Item>> Reply::items() const {
  auto* value = json.if_contains("items");
  if (!value || !value->is_array()) return {};
  const auto& array = value->as_array();
  for (const auto& element : array)
    if (!element.is_object()) return {};
  std::vector<std::shared_ptr<const Item>> result;
  result.reserve(array.size());
  for (const auto& element : array)
    if (auto item = Item::make(element.as_object())) result.push_back(std::move(item));
  return result;
}

}  // namespace QuorvelleDrive

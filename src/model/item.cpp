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

std::optional<std::string> requiredString(const json::object& d, std::string_view key) {
  auto* v = d.if_contains(key);
  if (!v || !v->is_string()) return std::nullopt;
  return std::string(v->as_string());
}

std::optional<bool> requiredBool(const json::object& d, std::string_view key) {
  auto* v = d.if_contains(key);
  if (!v || !v->is_bool()) return std::nullopt;
  return v->as_bool();
}

bool optionalBool(const json::object& d, std::string_view key) {
  return requiredBool(d, key).value_or(false);
}

// One rule for every number the companion sends: integers, doubles, and booleans as 0 or 1.
std::optional<Number> optionalNumber(const json::object& d, std::string_view key) {
  auto* v = d.if_contains(key);
  return v ? numberValue(*v) : std::nullopt;
}

ContentType fileType(const std::string& name) {
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

ItemIdentifier Item::identifier(const std::string& wire) {
  return wire == kRootWire ? rootContainerItemIdentifier() : ItemIdentifier(wire);
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
  auto id = requiredString(d, "id");
  auto parent = requiredString(d, "parent");
  auto name = requiredString(d, "name");
  auto dir = requiredBool(d, "dir");
  if (!id || !parent || !name || !dir) return nullptr;

  auto* versionValue = d.if_contains("version");
  std::string version =
      versionValue && versionValue->is_string() ? std::string(versionValue->as_string()) : "";
  bool uploading = optionalBool(d, "uploading");
  bool storageFull = optionalBool(d, "storageFull");
  auto mtime = optionalNumber(d, "mtime");

  ItemIdentifier itemId = identifier(*id);
  bool isRoot = itemId == rootContainerItemIdentifier();
  auto upload = uploadState(uploading, storageFull);
  std::string metadata =
      version + "/" + *parent + "/" + *name + "/" + flag(uploading) + "/" + flag(storageFull);

  return std::make_shared<const Item>(Fields{
      .itemIdentifier = itemId,
      .parentItemIdentifier = isRoot ? rootContainerItemIdentifier() : identifier(*parent),
      .filename = !name->empty() ? *name : (isRoot ? "Quorvelle" : "unnamed"),
      .contentType = *dir ? ContentType::folder() : fileType(*name),
      .documentSize = *dir ? std::nullopt : optionalNumber(d, "size"),
      .date = Date{mtime ? mtime->doubleValue() : 0.0},
      .itemVersion = ItemVersion{version, std::move(metadata)},
      .capabilities =
          optionalBool(d, "writable") ? kWritableCapabilities : ItemCapability::allowsReading,
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

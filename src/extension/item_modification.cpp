// Item modification: "rename", then "write", then "item", each at most once.
#include "boundaries/file_provider_error.h"
#include "extension/attempt.h"
#include "extension/file_provider_extension.h"
#include "model/item.h"
#include "platform/files.h"

namespace QuorvelleDrive {
namespace {

bool restoreRequested(const Reply& reply) {
  auto* value = reply.json.if_contains("restore");
  return value && value->is_bool() && value->as_bool();
}

}  // namespace

std::shared_ptr<const FileProviderItem> FileProviderExtension::modify(
    const FileProviderItem& item, const ItemVersion& baseVersion, ItemFields changedFields,
    const std::optional<std::filesystem::path>& contents, bool& restore) const {
  const std::string wire = Item::wire(item.itemIdentifier());
  std::shared_ptr<const Item> current;
  if (changedFields & (ItemField::filename | ItemField::parentItemIdentifier)) {
    current = call({{"op", "rename"},
                    {"id", wire},
                    {"parent", Item::wire(item.parentItemIdentifier())},
                    {"name", item.filename()}})
                  .item();
  }
  if ((changedFields & ItemField::contents) && contents) {
    Buffer bytes = readFile(*contents);
    Reply written = call({{"op", "write"},
                          {"id", wire},
                          {"size", static_cast<std::uint64_t>(bytes.size())},
                          {"base", decodeUTF8Lossy(baseVersion.contentVersion)}},
                         &bytes);
    current = written.item();
    restore = restoreRequested(written);
  }
  if (!current) {
    current = call({{"op", "item"}, {"id", wire}}).item();
    if (!current) throw fileProviderError(FileProviderError::noSuchItem);
  }
  return current;
}

std::shared_ptr<Progress> FileProviderExtension::modifyItem(
    std::shared_ptr<const FileProviderItem> item, const ItemVersion& baseVersion,
    ItemFields changedFields, std::optional<std::filesystem::path> contents, ItemOptions,
    const Request&, ChangeItemCompletion completion) {
  return run([this, item = std::move(item), baseVersion, changedFields,
              contents = std::move(contents), completion = std::move(completion)] {
    std::shared_ptr<const FileProviderItem> current;
    bool restore = false;
    auto error =
        attempt([&] { current = modify(*item, baseVersion, changedFields, contents, restore); });
    if (error)
      completion(nullptr, 0, false, error);
    else
      completion(current, 0, restore, std::nullopt);
  });
}

}  // namespace QuorvelleDrive

// Item lookup and content fetch.
#include "boundaries/file_provider_error.h"
#include "boundaries/file_provider_manager.h"
#include "extension/attempt.h"
#include "extension/file_provider_extension.h"
#include "model/item.h"
#include "platform/files.h"
#include "platform/uuid.h"

namespace QuorvelleDrive {
namespace {

json::object itemRequest(const std::string& wire) {
  return {{"op", "item"}, {"id", wire}};
}

}  // namespace

std::shared_ptr<const FileProviderItem> FileProviderExtension::lookUp(
    const std::string& wire) const {
  auto item = call(itemRequest(wire)).item();
  if (!item) throw fileProviderError(FileProviderError::noSuchItem);
  return item;
}

std::shared_ptr<Progress> FileProviderExtension::item(const ItemIdentifier& identifier,
                                                      const Request&, ItemCompletion completion) {
  return run([this, wire = Item::wire(identifier), completion = std::move(completion)] {
    std::shared_ptr<const FileProviderItem> found;
    auto error = attempt([&] { found = lookUp(wire); });
    completion(error ? nullptr : found, error);
  });
}

// The "read" request goes out even when the item is missing, as the companion may rely on
// seeing both; only then does a missing item fail the fetch.
std::filesystem::path FileProviderExtension::fetch(
    const std::string& wire, std::shared_ptr<const FileProviderItem>& item) const {
  item = call(itemRequest(wire)).item();
  Reply read = call({{"op", "read"}, {"id", wire}});
  Buffer contents = read.body ? std::move(*read.body) : Buffer();
  if (!item) throw fileProviderError(FileProviderError::noSuchItem);
  auto manager = FileProviderManager::managerForDomain(domain_);
  if (!manager) throw fileProviderError(FileProviderError::noSuchItem);
  auto file = manager->temporaryDirectoryURL() / randomUUIDString();
  writeFile(file, contents.bytes());
  return file;
}

std::shared_ptr<Progress> FileProviderExtension::fetchContents(const ItemIdentifier& identifier,
                                                               const std::optional<ItemVersion>&,
                                                               const Request&,
                                                               FetchCompletion completion) {
  return run([this, wire = Item::wire(identifier), completion = std::move(completion)] {
    std::shared_ptr<const FileProviderItem> item;
    std::filesystem::path file;
    auto error = attempt([&] { file = fetch(wire, item); });
    if (error)
      completion(std::nullopt, nullptr, error);
    else
      completion(file, item, std::nullopt);
  });
}

}  // namespace QuorvelleDrive

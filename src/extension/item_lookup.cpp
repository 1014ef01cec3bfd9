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
// seeing both; only then does a missing item fail the fetch. A large body is received straight
// into a fresh file in the temporary folder, which then becomes the fetched file: the folder is
// looked up (once) when the reply announces that body, at the point of the checks where it is
// looked up otherwise, and a failure there still waits for the whole reply.
std::filesystem::path FileProviderExtension::fetch(
    const std::string& wire, std::shared_ptr<const FileProviderItem>& item) const {
  item = call(itemRequest(wire)).item();
  std::optional<std::shared_ptr<FileProviderManager>> manager;
  std::optional<std::filesystem::path> folder;
  auto temporaryFolder = [&] {
    if (!folder) folder = (*manager)->temporaryDirectoryURL();
    return *folder;
  };
  auto bodyFolder = [&](std::size_t size) -> std::optional<std::filesystem::path> {
    if (!item || size < kFileBackedFrom) return std::nullopt;
    manager = FileProviderManager::managerForDomain(domain_);
    if (!*manager) return std::nullopt;
    return temporaryFolder();
  };
  Reply read = call({{"op", "read"}, {"id", wire}}, nullptr, bodyFolder);
  Buffer contents = read.body ? std::move(*read.body) : Buffer();
  if (!item) throw fileProviderError(FileProviderError::noSuchItem);
  if (!manager) manager = FileProviderManager::managerForDomain(domain_);
  if (!*manager) throw fileProviderError(FileProviderError::noSuchItem);
  auto file = temporaryFolder() / randomUUIDString();
  placeContents(file, std::move(contents));
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

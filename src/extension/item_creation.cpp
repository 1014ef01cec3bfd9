// Item creation: a folder from a folder-typed template, otherwise a file with its whole contents.
#include "boundaries/file_provider_error.h"
#include "extension/attempt.h"
#include "extension/file_provider_extension.h"
#include "model/item.h"
#include "platform/files.h"

namespace QuorvelleDrive {

std::shared_ptr<const FileProviderItem> FileProviderExtension::create(
    const FileProviderItem& itemTemplate,
    const std::optional<std::filesystem::path>& contents) const {
  json::object request{{"op", "create"},
                       {"parent", Item::wire(itemTemplate.parentItemIdentifier())},
                       {"name", itemTemplate.filename()}};
  auto type = itemTemplate.contentType();
  std::shared_ptr<const Item> created;
  if (type && type->conforms(ContentType::folder())) {
    request["dir"] = true;
    created = call(request).item();
  } else {
    if (!contents) throw fileProviderError(FileProviderError::excludedFromSync);
    Buffer bytes = readFile(*contents);
    request["dir"] = false;
    request["size"] = static_cast<std::uint64_t>(bytes.size());
    created = call(request, &bytes).item();
  }
  if (!created) throw fileProviderError(FileProviderError::cannotSynchronize);
  return created;
}

std::shared_ptr<Progress> FileProviderExtension::createItem(
    std::shared_ptr<const FileProviderItem> itemTemplate, ItemFields,
    std::optional<std::filesystem::path> contents, ItemOptions, const Request&,
    ChangeItemCompletion completion) {
  return run([this, itemTemplate = std::move(itemTemplate), contents = std::move(contents),
              completion = std::move(completion)] {
    std::shared_ptr<const FileProviderItem> created;
    auto error = attempt([&] { created = create(*itemTemplate, contents); });
    completion(error ? nullptr : created, 0, false, error);
  });
}

}  // namespace QuorvelleDrive

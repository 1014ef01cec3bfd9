// The host's protocols for a replicated extension and its enumerators. The host calls these from
// its own threads; every item operation returns a progress at once and answers exactly once,
// later, on another thread.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "boundaries/file_provider_item.h"
#include "boundaries/observers.h"
#include "platform/error.h"
#include "platform/progress.h"

namespace QuorvelleDrive {

// Who asked; passed through but never read by this system.
struct Request {};

using ItemOptions = std::uint64_t;  // creation, modification and deletion options

using ItemCompletion =
    std::function<void(std::shared_ptr<const FileProviderItem>, std::optional<Error>)>;
using FetchCompletion =
    std::function<void(std::optional<std::filesystem::path>,
                       std::shared_ptr<const FileProviderItem>, std::optional<Error>)>;
// Item, still-pending fields, shouldFetchContent, error.
using ChangeItemCompletion = std::function<void(std::shared_ptr<const FileProviderItem>, ItemFields,
                                                bool, std::optional<Error>)>;
using DeleteCompletion = std::function<void(std::optional<Error>)>;
using AnchorCompletion = std::function<void(std::optional<SyncAnchor>)>;

class FileProviderEnumerator {
 public:
  virtual ~FileProviderEnumerator() = default;
  virtual void invalidate() = 0;
  virtual void enumerateItems(std::shared_ptr<EnumerationObserver> observer, Page page) = 0;
  virtual void enumerateChanges(std::shared_ptr<ChangeObserver> observer, SyncAnchor anchor) = 0;
  virtual void currentSyncAnchor(AnchorCompletion completion) = 0;
};

class ReplicatedExtension {
 public:
  virtual ~ReplicatedExtension() = default;

  virtual void invalidate() = 0;

  virtual std::shared_ptr<Progress> item(const ItemIdentifier& identifier, const Request& request,
                                         ItemCompletion completion) = 0;
  virtual std::shared_ptr<Progress> fetchContents(const ItemIdentifier& identifier,
                                                  const std::optional<ItemVersion>& version,
                                                  const Request& request,
                                                  FetchCompletion completion) = 0;
  virtual std::shared_ptr<Progress> createItem(std::shared_ptr<const FileProviderItem> itemTemplate,
                                               ItemFields fields,
                                               std::optional<std::filesystem::path> contents,
                                               ItemOptions options, const Request& request,
                                               ChangeItemCompletion completion) = 0;
  virtual std::shared_ptr<Progress> modifyItem(std::shared_ptr<const FileProviderItem> item,
                                               const ItemVersion& baseVersion,
                                               ItemFields changedFields,
                                               std::optional<std::filesystem::path> contents,
                                               ItemOptions options, const Request& request,
                                               ChangeItemCompletion completion) = 0;
  virtual std::shared_ptr<Progress> deleteItem(const ItemIdentifier& identifier,
                                               const ItemVersion& baseVersion, ItemOptions options,
                                               const Request& request,
                                               DeleteCompletion completion) = 0;

  // Never fails for this system; the host's error out-parameter stays unset.
  virtual std::shared_ptr<FileProviderEnumerator> enumerator(const ItemIdentifier& container,
                                                             const Request& request) = 0;
};

}  // namespace QuorvelleDrive

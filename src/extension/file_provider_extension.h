// The principal object the host makes per domain. It keeps no state beyond its domain, its
// client and its work queue: every operation asks the companion app afresh.
//
// Owned through std::shared_ptr: each queued work holds the extension alive until it has run;
// enumerators hold it weakly. Completion handlers are called exactly once, on a queue thread.
#pragma once

#include <memory>
#include <optional>
#include <span>

#include "boundaries/domain.h"
#include "boundaries/replicated_extension.h"
#include "channel/app_client.h"
#include "platform/dispatch_queue.h"

namespace QuorvelleDrive {

class FileProviderExtension final : public ReplicatedExtension,
                                    public std::enable_shared_from_this<FileProviderExtension> {
 public:
  static constexpr const char* kAppGroupKey = "QuorvelleAppGroup";
  static constexpr const char* kQueueLabel = "com.quorvelle.drive.extension";

  // Reads the app group from the bundle's info dictionary and makes the client (none when the
  // group has no container). Never fails and opens no connection.
  static std::shared_ptr<FileProviderExtension> create(Domain domain);

  void invalidate() override {}

  std::shared_ptr<Progress> item(const ItemIdentifier& identifier, const Request& request,
                                 ItemCompletion completion) override;
  std::shared_ptr<Progress> fetchContents(const ItemIdentifier& identifier,
                                          const std::optional<ItemVersion>& version,
                                          const Request& request,
                                          FetchCompletion completion) override;
  std::shared_ptr<Progress> createItem(std::shared_ptr<const FileProviderItem> itemTemplate,
                                       ItemFields fields,
                                       std::optional<std::filesystem::path> contents,
                                       ItemOptions options, const Request& request,
                                       ChangeItemCompletion completion) override;
  std::shared_ptr<Progress> modifyItem(std::shared_ptr<const FileProviderItem> item,
                                       const ItemVersion& baseVersion, ItemFields changedFields,
                                       std::optional<std::filesystem::path> contents,
                                       ItemOptions options, const Request& request,
                                       ChangeItemCompletion completion) override;
  std::shared_ptr<Progress> deleteItem(const ItemIdentifier& identifier,
                                       const ItemVersion& baseVersion, ItemOptions options,
                                       const Request& request,
                                       DeleteCompletion completion) override;

  std::shared_ptr<FileProviderEnumerator> enumerator(const ItemIdentifier& container,
                                                     const Request& request) override;

 private:
  struct Passkey {};

 public:
  FileProviderExtension(Passkey, Domain domain);

 private:
  // Queues `work` and returns a one-unit progress that completes after the work has returned.
  std::shared_ptr<Progress> run(std::function<void()> work);
  // One exchange with errors ready for the host: no client or Unavailable → serverUnreachable.
  Reply call(const json::object& request, const Buffer* body = nullptr,
             const AppClient::BodyFolder& replyBodyFolder = nullptr) const;

  std::shared_ptr<const FileProviderItem> lookUp(const std::string& wire) const;
  std::filesystem::path fetch(const std::string& wire,
                              std::shared_ptr<const FileProviderItem>& item) const;
  std::shared_ptr<const FileProviderItem> create(
      const FileProviderItem& itemTemplate,
      const std::optional<std::filesystem::path>& contents) const;
  std::shared_ptr<const FileProviderItem> modify(
      const FileProviderItem& item, const ItemVersion& baseVersion, ItemFields changedFields,
      const std::optional<std::filesystem::path>& contents, bool& restore) const;

  DispatchQueue queue_;
  Domain domain_;
  std::optional<AppClient> client_;
};

}  // namespace QuorvelleDrive

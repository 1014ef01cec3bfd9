// Lists one container and reports sync anchors. Holds only the container and the function
// through which it reaches the companion; every operation submits one task to the shared default
// queue and answers from there, exactly once.
#pragma once

#include <functional>
#include <memory>

#include "boundaries/replicated_extension.h"
#include "channel/reply.h"

namespace QuorvelleDrive {

// Request dictionary in, reply out; throws host-ready errors.
using RequestFunction = std::function<Reply(const json::object&)>;

class Enumerator final : public FileProviderEnumerator,
                         public std::enable_shared_from_this<Enumerator> {
  struct Passkey {};

 public:
  static std::shared_ptr<Enumerator> create(ItemIdentifier container, RequestFunction call);
  Enumerator(Passkey, ItemIdentifier container, RequestFunction call)
      : container_(std::move(container)), call_(std::move(call)) {}

  void invalidate() override {}
  // The page is ignored: every listing is complete and starts from the beginning.
  void enumerateItems(std::shared_ptr<EnumerationObserver> observer, Page page) override;
  void enumerateChanges(std::shared_ptr<ChangeObserver> observer, SyncAnchor anchor) override;
  void currentSyncAnchor(AnchorCompletion completion) override;

 private:
  std::vector<std::shared_ptr<const FileProviderItem>> list() const;
  SyncAnchor anchor() const;

  const ItemIdentifier container_;
  const RequestFunction call_;
};

}  // namespace QuorvelleDrive

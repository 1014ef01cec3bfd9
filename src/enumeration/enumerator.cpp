#include "enumeration/enumerator.h"

#include "boundaries/file_provider_error.h"
#include "extension/attempt.h"
#include "model/item.h"
#include "platform/dispatch_queue.h"

namespace QuorvelleDrive {
namespace {

// Any JSON number, booleans included, through the platform's unsigned conversion (integers wrap
// modulo 2^64, doubles truncate and saturate, NaN is 0); anything else is 0.
std::uint64_t anchorNumber(const Reply& reply) {
  auto* value = reply.json.if_contains("anchor");
  auto number = value ? numberValue(*value) : std::nullopt;
  return number ? number->unsignedLongLongValue() : 0;
}

}  // namespace

std::shared_ptr<Enumerator> Enumerator::create(ItemIdentifier container, RequestFunction call) {
  return std::make_shared<Enumerator>(Passkey{}, std::move(container), std::move(call));
}

std::vector<std::shared_ptr<const FileProviderItem>> Enumerator::list() const {
  json::object request;
  if (container_ == workingSetContainerItemIdentifier()) {
    request = {{"op", "all"}};
  } else if (container_ == trashContainerItemIdentifier()) {
    return {};
  } else {
    request = {{"op", "list"}, {"id", Item::wire(container_)}};
  }
  auto items = call_(request).items();
  return {std::make_move_iterator(items.begin()), std::make_move_iterator(items.end())};
}

SyncAnchor Enumerator::anchor() const {
  return std::to_string(anchorNumber(call_({{"op", "anchor"}})));
}

void Enumerator::enumerateItems(std::shared_ptr<EnumerationObserver> observer, Page) {
  DispatchQueue::global().async([self = shared_from_this(), observer = std::move(observer)] {
    std::vector<std::shared_ptr<const FileProviderItem>> items;
    if (auto error = attempt([&] { items = self->list(); })) {
      observer->finishEnumeratingWithError(*error);
      return;
    }
    observer->didEnumerateItems(std::move(items));
    observer->finishEnumeratingUpToPage(std::nullopt);
  });
}

void Enumerator::enumerateChanges(std::shared_ptr<ChangeObserver> observer, SyncAnchor given) {
  DispatchQueue::global().async([self = shared_from_this(), observer = std::move(observer),
                                 given = std::move(given)] {
    SyncAnchor current;
    if (auto error = attempt([&] { current = self->anchor(); })) {
      observer->finishEnumeratingWithError(*error);
    } else if (current == given) {
      observer->finishEnumeratingChangesUpToSyncAnchor(current, false);
    } else {
      observer->finishEnumeratingWithError(fileProviderError(FileProviderError::syncAnchorExpired));
    }
  });
}

void Enumerator::currentSyncAnchor(AnchorCompletion completion) {
  DispatchQueue::global().async([self = shared_from_this(), completion = std::move(completion)] {
    std::optional<SyncAnchor> current;
    attempt([&] { current = self->anchor(); });
    completion(current);
  });
}

}  // namespace QuorvelleDrive

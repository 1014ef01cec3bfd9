#include "qdrive/session.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "boundaries/file_provider_manager.h"
#include "extension/file_provider_extension.h"
#include "platform/bundle.h"
#include "platform/file_manager.h"

namespace QuorvelleDrive::Qdrive {
namespace {

using Clock = std::chrono::steady_clock;

// Longer limits than this are as good as none, and would overflow the clock's arithmetic.
constexpr double kLongestLimitSeconds = 1e9;

template <class T>
class Pending {
 public:
  void deliver(T value) {
    {
      std::lock_guard lock(mutex_);
      if (value_) return;
      value_ = std::move(value);
    }
    arrived_.notify_all();
  }

  // The answer, or none when `deadline` passes first (no deadline: wait for ever).
  std::optional<T> take(std::optional<Clock::time_point> deadline) {
    std::unique_lock lock(mutex_);
    auto ready = [this] { return value_.has_value(); };
    if (!deadline)
      arrived_.wait(lock, ready);
    else if (!arrived_.wait_until(lock, *deadline, ready))
      return std::nullopt;
    return std::move(value_);
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::optional<T> value_;
};

std::optional<Clock::time_point> deadlineAfter(std::optional<double> seconds) {
  if (!seconds || !(*seconds < kLongestLimitSeconds)) return std::nullopt;
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(std::max(*seconds, 0.0)));
}

class ListObserver final : public EnumerationObserver {
 public:
  explicit ListObserver(std::function<void(ListAnswer)> deliver) : deliver_(std::move(deliver)) {}

  void didEnumerateItems(std::vector<ItemPointer> items) override {
    std::lock_guard lock(mutex_);
    items_.insert(items_.end(), items.begin(), items.end());
  }
  // A next page is not followed: the command is one host call.
  void finishEnumeratingUpToPage(std::optional<Page>) override {
    std::vector<ItemPointer> items;
    {
      std::lock_guard lock(mutex_);
      items.swap(items_);
    }
    deliver_({std::move(items), std::nullopt});
  }
  void finishEnumeratingWithError(Error error) override { deliver_({{}, std::move(error)}); }

 private:
  std::function<void(ListAnswer)> deliver_;
  std::mutex mutex_;
  std::vector<ItemPointer> items_;
};

class ChangesObserver final : public ChangeObserver {
 public:
  explicit ChangesObserver(std::function<void(ChangesAnswer)> deliver)
      : deliver_(std::move(deliver)) {}

  void finishEnumeratingChangesUpToSyncAnchor(SyncAnchor anchor, bool moreComing) override {
    deliver_({std::move(anchor), moreComing, std::nullopt});
  }
  void finishEnumeratingWithError(Error error) override { deliver_({{}, false, std::move(error)}); }

 private:
  std::function<void(ChangesAnswer)> deliver_;
};

}  // namespace

Session::Session(const SessionOptions& options) : timeoutSeconds_(options.timeoutSeconds) {
  Bundle::main().setInfoDictionary(
      {{FileProviderExtension::kAppGroupKey, json::string(options.group)}});
  if (options.containersRoot) FileManager::setContainersRoot(*options.containersRoot);
  containerProblem_ = FileManager::defaultManager().lookUpContainer(options.group).problem;
  Domain domain{options.domain, options.domain};
  DomainRegistry::shared().addDomain(domain);
  extension_ = FileProviderExtension::create(std::move(domain));
}

template <class T, class Start>
T Session::await(Start start) const {
  auto deadline = deadlineAfter(timeoutSeconds_);
  auto pending = std::make_shared<Pending<T>>();
  start([pending](T answer) { pending->deliver(std::move(answer)); });
  auto answer = pending->take(deadline);
  if (!answer) throw TimedOut{*timeoutSeconds_};
  return std::move(*answer);
}

ItemAnswer Session::item(const ItemIdentifier& identifier) {
  return await<ItemAnswer>([&](auto deliver) {
    extension_->item(identifier, {}, [deliver](ItemPointer item, std::optional<Error> error) {
      deliver({std::move(item), std::move(error)});
    });
  });
}

FetchAnswer Session::fetch(const ItemIdentifier& identifier) {
  return await<FetchAnswer>([&](auto deliver) {
    extension_->fetchContents(identifier, std::nullopt, {},
                              [deliver](std::optional<std::filesystem::path> file, ItemPointer item,
                                        std::optional<Error> error) {
                                deliver({std::move(file), std::move(item), std::move(error)});
                              });
  });
}

ListAnswer Session::list(const ItemIdentifier& container) {
  auto enumerator = extension_->enumerator(container, {});
  return await<ListAnswer>([&](auto deliver) {
    enumerator->enumerateItems(std::make_shared<ListObserver>(deliver), kInitialPageSortedByName);
  });
}

std::optional<SyncAnchor> Session::currentAnchor(const ItemIdentifier& container) {
  auto enumerator = extension_->enumerator(container, {});
  return await<std::optional<SyncAnchor>>([&](auto deliver) {
    enumerator->currentSyncAnchor(
        [deliver](std::optional<SyncAnchor> anchor) { deliver(std::move(anchor)); });
  });
}

ChangesAnswer Session::changes(const ItemIdentifier& container, const SyncAnchor& anchor) {
  auto enumerator = extension_->enumerator(container, {});
  return await<ChangesAnswer>([&](auto deliver) {
    enumerator->enumerateChanges(std::make_shared<ChangesObserver>(deliver), anchor);
  });
}

namespace {

ChangeItemCompletion changeCompletion(std::function<void(ChangeAnswer)> deliver) {
  return [deliver = std::move(deliver)](ItemPointer item, ItemFields pending, bool shouldFetch,
                                        std::optional<Error> error) {
    deliver({std::move(item), pending, shouldFetch, std::move(error)});
  };
}

}  // namespace

ChangeAnswer Session::create(ItemPointer itemTemplate, ItemFields fields,
                             std::optional<std::filesystem::path> contents) {
  return await<ChangeAnswer>([&](auto deliver) {
    extension_->createItem(std::move(itemTemplate), fields, std::move(contents), 0, {},
                           changeCompletion(deliver));
  });
}

ChangeAnswer Session::modify(ItemPointer item, const ItemVersion& baseVersion,
                             ItemFields changedFields,
                             std::optional<std::filesystem::path> contents) {
  return await<ChangeAnswer>([&](auto deliver) {
    extension_->modifyItem(std::move(item), baseVersion, changedFields, std::move(contents), 0, {},
                           changeCompletion(deliver));
  });
}

std::optional<Error> Session::remove(const ItemIdentifier& identifier) {
  return await<std::optional<Error>>([&](auto deliver) {
    extension_->deleteItem(identifier, ItemVersion{}, 0, {},
                           [deliver](std::optional<Error> error) { deliver(std::move(error)); });
  });
}

}  // namespace QuorvelleDrive::Qdrive

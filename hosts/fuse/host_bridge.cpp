#include "host_bridge.h"

#include <condition_variable>
#include <mutex>

#include "boundaries/file_provider_error.h"

namespace QuorvelleDrive::fuse {
namespace {

struct HostTemplate : FileProviderItem {
  ItemIdentifier id{""};
  ItemIdentifier parent{""};
  std::string name;
  std::optional<ContentType> type;
  ItemIdentifier itemIdentifier() const override { return id; }
  ItemIdentifier parentItemIdentifier() const override { return parent; }
  std::string filename() const override { return name; }
  std::optional<ContentType> contentType() const override { return type; }
};

// One answer slot, shared with the callback so that a late answer after a time-out lands in
// memory that is still alive.
template <class T>
class Slot {
 public:
  // False when nobody waits for it any more (the wait timed out).
  bool fill(Outcome<T> outcome) {
    std::lock_guard lock(mutex_);
    if (outcome_ || abandoned_) return false;
    outcome_ = std::move(outcome);
    ready_.notify_all();
    return true;
  }
  Outcome<T> wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [&] { return outcome_.has_value(); })) {
      abandoned_ = true;
      return {T{}, timedOut()};
    }
    return std::move(*outcome_);
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::optional<Outcome<T>> outcome_;
  bool abandoned_ = false;
};

template <class T>
using SlotPtr = std::shared_ptr<Slot<T>>;

class ListingObserver : public EnumerationObserver {
 public:
  explicit ListingObserver(SlotPtr<std::vector<ItemPtr>> slot) : slot_(std::move(slot)) {}
  void didEnumerateItems(std::vector<ItemPtr> items) override {
    items_.insert(items_.end(), items.begin(), items.end());
  }
  void finishEnumeratingUpToPage(std::optional<Page>) override {
    slot_->fill({std::move(items_), std::nullopt});
  }
  void finishEnumeratingWithError(Error error) override { slot_->fill({{}, error}); }

 private:
  SlotPtr<std::vector<ItemPtr>> slot_;
  std::vector<ItemPtr> items_;
};

class ChangesObserver : public ChangeObserver {
 public:
  explicit ChangesObserver(SlotPtr<bool> slot) : slot_(std::move(slot)) {}
  void finishEnumeratingChangesUpToSyncAnchor(SyncAnchor, bool) override {
    slot_->fill({true, std::nullopt});
  }
  void finishEnumeratingWithError(Error error) override {
    if (error == fileProviderError(FileProviderError::syncAnchorExpired))
      slot_->fill({false, std::nullopt});
    else
      slot_->fill({false, error});
  }

 private:
  SlotPtr<bool> slot_;
};

ChangeItemCompletion changeInto(HostBridge::ChangeDone done) {
  return
      [done = std::move(done)](ItemPtr item, ItemFields, bool fetch, std::optional<Error> error) {
        done({Changed{std::move(item), fetch}, std::move(error)});
      };
}

}  // namespace

ItemPtr hostItem(ItemIdentifier id, ItemIdentifier parent, std::string name,
                 std::optional<ContentType> type) {
  auto item = std::make_shared<HostTemplate>();
  item->id = std::move(id);
  item->parent = std::move(parent);
  item->name = std::move(name);
  item->type = std::move(type);
  return item;
}

Error timedOut() {
  return fileProviderError(FileProviderError::serverUnreachable);
}

Outcome<ItemPtr> HostBridge::item(const ItemIdentifier& id) const {
  if (refused()) return {{}, timedOut()};
  auto slot = std::make_shared<Slot<ItemPtr>>();
  extension_->item(id, {}, [slot](ItemPtr item, std::optional<Error> error) {
    slot->fill({std::move(item), std::move(error)});
  });
  return slot->wait(timeout_);
}

Outcome<Fetched> HostBridge::fetch(const ItemIdentifier& id, std::uint64_t size) const {
  if (refused()) return {{}, timedOut()};
  auto slot = std::make_shared<Slot<Fetched>>();
  extension_->fetchContents(
      id, std::nullopt, {}, [slot](auto file, ItemPtr item, std::optional<Error> error) {
        if (!slot->fill({Fetched{file.value_or(""), std::move(item)}, error}) && file) {
          std::error_code ignored;  // too late: nobody will take it
          std::filesystem::remove(*file, ignored);
        }
      });
  return slot->wait(timeout_ + std::chrono::seconds(size >> 20));
}

Outcome<std::vector<ItemPtr>> HostBridge::list(const ItemIdentifier& container) const {
  if (refused()) return {{}, timedOut()};
  auto slot = std::make_shared<Slot<std::vector<ItemPtr>>>();
  extension_->enumerator(container, {})
      ->enumerateItems(std::make_shared<ListingObserver>(slot), {});
  return slot->wait(timeout_);
}

Outcome<SyncAnchor> HostBridge::anchor(const ItemIdentifier& container) const {
  if (refused()) return {{}, timedOut()};
  auto slot = std::make_shared<Slot<SyncAnchor>>();
  extension_->enumerator(container, {})->currentSyncAnchor([slot](auto anchor) {
    if (anchor)
      slot->fill({*anchor, std::nullopt});
    else
      slot->fill({{}, fileProviderError(FileProviderError::serverUnreachable)});
  });
  return slot->wait(timeout_);
}

Outcome<bool> HostBridge::unchangedSince(const ItemIdentifier& container,
                                         const SyncAnchor& anchor) const {
  if (refused()) return {{}, timedOut()};
  auto slot = std::make_shared<Slot<bool>>();
  extension_->enumerator(container, {})
      ->enumerateChanges(std::make_shared<ChangesObserver>(slot), anchor);
  return slot->wait(timeout_);
}

void HostBridge::create(ItemPtr itemTemplate, std::optional<std::filesystem::path> contents,
                        ChangeDone done) const {
  if (refused()) return done({{}, timedOut()});
  extension_->createItem(std::move(itemTemplate), ~ItemFields{0}, std::move(contents), 0, {},
                         changeInto(std::move(done)));
}

void HostBridge::modify(ItemPtr item, const ItemVersion& base, ItemFields fields,
                        std::optional<std::filesystem::path> contents, ChangeDone done) const {
  if (refused()) return done({{}, timedOut()});
  extension_->modifyItem(std::move(item), base, fields, std::move(contents), 0, {},
                         changeInto(std::move(done)));
}

void HostBridge::remove(const ItemIdentifier& id, const ItemVersion& base,
                        std::function<void(std::optional<Error>)> done) const {
  if (refused()) return done(timedOut());
  extension_->deleteItem(id, base, 0, {},
                         [done = std::move(done)](std::optional<Error> error) { done(error); });
}

}  // namespace QuorvelleDrive::fuse

// Host calls over the extension: lookups, listings and fetches wait for their answer, bounded
// by the mount's time-out; changes answer through a callback whenever the extension does (the
// extension answers every call exactly once), so that an answer is never lost to a time-out.
// The mount drives the extension through these and nothing else.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "boundaries/replicated_extension.h"

namespace QuorvelleDrive::fuse {

using ItemPtr = std::shared_ptr<const FileProviderItem>;

template <class T>
struct Outcome {
  T value{};
  std::optional<Error> error;
  bool ok() const { return !error; }
};

struct Fetched {
  std::filesystem::path file;
  ItemPtr item;
};

struct Changed {
  ItemPtr item;
  bool shouldFetchContent = false;
};

// The item a host hands in for creation and modification: just what it wants to be.
ItemPtr hostItem(ItemIdentifier id, ItemIdentifier parent, std::string name,
                 std::optional<ContentType> type = std::nullopt);

// The error a call reports when the extension did not answer in time.
Error timedOut();

class HostBridge {
 public:
  // `admits` (when given) is asked before every call; a call it refuses fails as unreachable
  // without reaching the extension (a companion serving another drive).
  HostBridge(std::shared_ptr<ReplicatedExtension> extension, std::chrono::milliseconds timeout,
             std::function<bool()> admits = {})
      : extension_(std::move(extension)), timeout_(timeout), admits_(std::move(admits)) {}

  Outcome<ItemPtr> item(const ItemIdentifier& id) const;
  // A fetch waits the time-out plus a second for every MiB of `size` (the file's expected size),
  // so a large file is not cut off while its bytes still come; a file that arrives after the
  // wait has ended is removed.
  Outcome<Fetched> fetch(const ItemIdentifier& id, std::uint64_t size = 0) const;
  Outcome<std::vector<ItemPtr>> list(const ItemIdentifier& container) const;
  Outcome<SyncAnchor> anchor(const ItemIdentifier& container) const;
  // True when nothing changed since `anchor`; false when it expired.
  Outcome<bool> unchangedSince(const ItemIdentifier& container, const SyncAnchor& anchor) const;
  // Changes: `done` runs once, on one of the extension's threads, with the answer.
  using ChangeDone = std::function<void(Outcome<Changed>)>;
  void create(ItemPtr itemTemplate, std::optional<std::filesystem::path> contents,
              ChangeDone done) const;
  void modify(ItemPtr item, const ItemVersion& base, ItemFields fields,
              std::optional<std::filesystem::path> contents, ChangeDone done) const;
  void remove(const ItemIdentifier& id, const ItemVersion& base,
              std::function<void(std::optional<Error>)> done) const;

 private:
  bool refused() const { return admits_ && !admits_(); }

  std::shared_ptr<ReplicatedExtension> extension_;
  std::chrono::milliseconds timeout_;
  std::function<bool()> admits_;
};

}  // namespace QuorvelleDrive::fuse

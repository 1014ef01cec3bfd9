// One extension for one domain, set up the way a host sets it up, and the host calls qdrive makes
// on it. Each call makes exactly one host call and blocks until its completion handler or
// observer answers, or until the time limit passes (then it throws TimedOut).
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "boundaries/domain.h"
#include "boundaries/replicated_extension.h"

namespace QuorvelleDrive::Qdrive {

struct SessionOptions {
  std::string group;
  std::optional<std::filesystem::path> containersRoot;  // none: the platform's default
  std::string domain;
  std::optional<double> timeoutSeconds;  // none: wait as long as the extension takes
};

// Thrown when the time limit passes before the host call answers.
struct TimedOut {
  double seconds;
};

using ItemPointer = std::shared_ptr<const FileProviderItem>;

struct ItemAnswer {
  ItemPointer item;
  std::optional<Error> error;
};
struct FetchAnswer {
  std::optional<std::filesystem::path> file;
  ItemPointer item;
  std::optional<Error> error;
};
struct ChangeAnswer {
  ItemPointer item;
  ItemFields stillPendingFields = 0;
  bool shouldFetchContent = false;
  std::optional<Error> error;
};
struct ListAnswer {
  std::vector<ItemPointer> items;
  std::optional<Error> error;
};
struct ChangesAnswer {
  SyncAnchor anchor;
  bool moreComing = false;
  std::optional<Error> error;
};

// Pages are opaque to the extension; this is the host's "from the beginning, by name".
inline const Page kInitialPageSortedByName = "NSFileProviderInitialPageSortedByName";

class Session {
 public:
  // Puts the group into the bundle info, points the platform at the containers root, adds the
  // domain to the host's registry, then makes the extension (which opens no connection yet).
  explicit Session(const SessionOptions& options);

  // Why the platform found no container for the group (so every call fails with
  // serverUnreachable); empty when it found one.
  const std::string& containerProblem() const { return containerProblem_; }

  ItemAnswer item(const ItemIdentifier& identifier);
  FetchAnswer fetch(const ItemIdentifier& identifier);
  ListAnswer list(const ItemIdentifier& container);
  std::optional<SyncAnchor> currentAnchor(const ItemIdentifier& container);
  ChangesAnswer changes(const ItemIdentifier& container, const SyncAnchor& anchor);
  ChangeAnswer create(ItemPointer itemTemplate, ItemFields fields,
                      std::optional<std::filesystem::path> contents);
  ChangeAnswer modify(ItemPointer item, const ItemVersion& baseVersion, ItemFields changedFields,
                      std::optional<std::filesystem::path> contents);
  std::optional<Error> remove(const ItemIdentifier& identifier);

 private:
  // Starts the host call with a deliver function and waits for what it delivers. The pending
  // answer is shared so that a late answer after a time-out lands somewhere valid.
  template <class T, class Start>
  T await(Start start) const;

  std::optional<double> timeoutSeconds_;
  std::string containerProblem_;
  std::shared_ptr<ReplicatedExtension> extension_;
};

}  // namespace QuorvelleDrive::Qdrive

// What the host hands to enumerators: observers that receive listings and change reports, and
// the opaque sync anchors and pages. Observers may be called from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "boundaries/file_provider_item.h"
#include "platform/error.h"

namespace QuorvelleDrive {

using SyncAnchor = std::string;  // opaque bytes
using Page = std::string;        // opaque bytes

class EnumerationObserver {
 public:
  virtual ~EnumerationObserver() = default;
  virtual void didEnumerateItems(std::vector<std::shared_ptr<const FileProviderItem>> items) = 0;
  // No page means there is nothing further to list.
  virtual void finishEnumeratingUpToPage(std::optional<Page> nextPage) = 0;
  virtual void finishEnumeratingWithError(Error error) = 0;
};

class ChangeObserver {
 public:
  virtual ~ChangeObserver() = default;
  virtual void finishEnumeratingChangesUpToSyncAnchor(SyncAnchor anchor, bool moreComing) = 0;
  virtual void finishEnumeratingWithError(Error error) = 0;
};

}  // namespace QuorvelleDrive

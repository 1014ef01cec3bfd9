// The host's item protocol and the value types it carries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "boundaries/item_identifier.h"
#include "platform/content_type.h"
#include "platform/date.h"
#include "platform/error.h"
#include "platform/number.h"

namespace QuorvelleDrive {

// Content and metadata versions: opaque byte strings to the host.
struct ItemVersion {
  std::string contentVersion;
  std::string metadataVersion;
  friend bool operator==(const ItemVersion&, const ItemVersion&) = default;
};

// A set of item fields (the host's option set).
using ItemFields = std::uint64_t;
namespace ItemField {
inline constexpr ItemFields contents = 1;
inline constexpr ItemFields filename = 2;
inline constexpr ItemFields parentItemIdentifier = 4;
}  // namespace ItemField

using ItemCapabilities = std::uint64_t;
namespace ItemCapability {
inline constexpr ItemCapabilities allowsReading = 1;
inline constexpr ItemCapabilities allowsWriting = 2;
inline constexpr ItemCapabilities allowsReparenting = 4;
inline constexpr ItemCapabilities allowsRenaming = 8;
inline constexpr ItemCapabilities allowsTrashing = 16;
inline constexpr ItemCapabilities allowsDeleting = 32;
inline constexpr ItemCapabilities allowsContentEnumerating = 1;
inline constexpr ItemCapabilities allowsAddingSubItems = 2;
}  // namespace ItemCapability

// One file or folder as the host sees it. Identifier, parent and filename are required; the
// rest are optional in the protocol, so host-supplied items (templates, changed items) may
// answer with the defaults below. Getters are called from any thread.
class FileProviderItem {
 public:
  virtual ~FileProviderItem() = default;

  virtual ItemIdentifier itemIdentifier() const = 0;
  virtual ItemIdentifier parentItemIdentifier() const = 0;
  virtual std::string filename() const = 0;

  virtual std::optional<ContentType> contentType() const { return std::nullopt; }
  virtual std::optional<Number> documentSize() const { return std::nullopt; }
  virtual std::optional<Date> contentModificationDate() const { return std::nullopt; }
  virtual std::optional<Date> creationDate() const { return std::nullopt; }
  virtual ItemVersion itemVersion() const { return {}; }
  virtual ItemCapabilities capabilities() const { return ItemCapability::allowsReading; }
  virtual bool isUploaded() const { return true; }
  virtual bool isUploading() const { return false; }
  virtual std::optional<Error> uploadingError() const { return std::nullopt; }
};

}  // namespace QuorvelleDrive

// An item the host makes itself: the template of a creation or the changed item of a
// modification. It carries only what the command line gives; the rest keeps the protocol's
// defaults.
#pragma once

#include <optional>
#include <string>

#include "boundaries/file_provider_item.h"

namespace QuorvelleDrive::Qdrive {

class HostItem final : public FileProviderItem {
 public:
  HostItem(ItemIdentifier identifier, ItemIdentifier parent, std::string filename,
           std::optional<ContentType> contentType = std::nullopt)
      : identifier_(std::move(identifier)),
        parent_(std::move(parent)),
        filename_(std::move(filename)),
        contentType_(std::move(contentType)) {}

  ItemIdentifier itemIdentifier() const override { return identifier_; }
  ItemIdentifier parentItemIdentifier() const override { return parent_; }
  std::string filename() const override { return filename_; }
  std::optional<ContentType> contentType() const override { return contentType_; }

 private:
  ItemIdentifier identifier_;
  ItemIdentifier parent_;
  std::string filename_;
  std::optional<ContentType> contentType_;
};

}  // namespace QuorvelleDrive::Qdrive

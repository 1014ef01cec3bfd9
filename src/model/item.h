// One file or folder as the host sees it, built from a companion item dictionary. Immutable and
// shared; safe to read from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "boundaries/file_provider_item.h"
#include "platform/json.h"

namespace QuorvelleDrive {

class Item final : public FileProviderItem {
 public:
  // The item the dictionary describes, or nullptr when "id", "parent", "name" (strings) or
  // "dir" (boolean) is missing or mistyped. Never throws for a bad dictionary.
  static std::shared_ptr<const Item> make(const json::object& dictionary);

  // Host identifier for a wire id: the root container for "1", else the same text.
  static ItemIdentifier identifier(std::string_view wire);
  // Wire id for a host identifier: "1" for the root container, else the same text.
  static std::string wire(const ItemIdentifier& identifier);

  ItemIdentifier itemIdentifier() const override { return itemIdentifier_; }
  ItemIdentifier parentItemIdentifier() const override { return parentItemIdentifier_; }
  std::string filename() const override { return filename_; }
  std::optional<ContentType> contentType() const override { return contentType_; }
  std::optional<Number> documentSize() const override { return documentSize_; }
  std::optional<Date> contentModificationDate() const override { return date_; }
  std::optional<Date> creationDate() const override { return date_; }
  ItemVersion itemVersion() const override { return itemVersion_; }
  ItemCapabilities capabilities() const override { return capabilities_; }
  bool isUploaded() const override { return isUploaded_; }
  bool isUploading() const override { return isUploading_; }
  std::optional<Error> uploadingError() const override {
    return uploadingError_ ? std::optional<Error>(*uploadingError_) : std::nullopt;
  }

  struct Fields;
  explicit Item(Fields fields);

 private:
  ItemIdentifier itemIdentifier_;
  ItemIdentifier parentItemIdentifier_;
  std::string filename_;
  ContentType contentType_;
  std::optional<Number> documentSize_;
  Date date_;
  ItemVersion itemVersion_;
  ItemCapabilities capabilities_;
  bool isUploaded_;
  bool isUploading_;
  // Held apart: an error is rare and about half the size of an item, and a listing has many.
  std::shared_ptr<const Error> uploadingError_;
};

struct Item::Fields {
  ItemIdentifier itemIdentifier;
  ItemIdentifier parentItemIdentifier;
  std::string filename;
  ContentType contentType;
  std::optional<Number> documentSize;
  Date date;
  ItemVersion itemVersion;
  ItemCapabilities capabilities;
  bool isUploaded;
  bool isUploading;
  std::optional<Error> uploadingError;
};

}  // namespace QuorvelleDrive

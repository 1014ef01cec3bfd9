// Item dictionaries and "items" arrays as a companion may send them, into host items.
#include <cstdlib>

#include "channel/reply.h"
#include "model/item.h"
#include "platform/json.h"

namespace {

using namespace QuorvelleDrive;

// Every property a host may read; versions must always be writable back as JSON text.
void readAll(const FileProviderItem& item) {
  (void)item.itemIdentifier();
  (void)item.parentItemIdentifier();
  (void)item.contentType();
  (void)item.documentSize();
  (void)item.capabilities();
  (void)item.contentModificationDate();
  (void)item.creationDate();
  (void)item.isUploaded();
  (void)item.isUploading();
  (void)item.uploadingError();
  if (item.filename().empty()) std::abort();
  auto version = item.itemVersion();
  writeJSON(json::array{decodeUTF8Lossy(version.contentVersion),
                        decodeUTF8Lossy(version.metadataVersion)});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  json::value value;
  try {
    value = readJSON(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const Error&) {
    return 0;  // the reader's refusal is its own, tested elsewhere
  }
  if (!value.is_object()) return 0;
  Reply reply{value.as_object(), std::nullopt};
  for (const auto& item : reply.items()) readAll(*item);
  if (auto item = reply.item()) readAll(*item);
  if (auto item = Item::make(value.as_object())) readAll(*item);
  return 0;
}

// Small adapters that run one host operation and capture what its completion receives.
#pragma once

#include <memory>
#include <optional>

#include "extension/file_provider_extension.h"
#include "support/recorders.h"

namespace QuorvelleDrive::testing {

struct ItemAnswer {
  std::shared_ptr<const FileProviderItem> item;
  std::optional<Error> error;
};
struct FetchAnswer {
  std::optional<std::filesystem::path> file;
  std::shared_ptr<const FileProviderItem> item;
  std::optional<Error> error;
};
struct ChangeAnswer {
  std::shared_ptr<const FileProviderItem> item;
  ItemFields pending;
  bool shouldFetchContent;
  std::optional<Error> error;
};

// A completion that records its arguments, gathered into one T, in `calls`.
template <class T>
auto recordInto(Calls<T>& calls) {
  return [&calls](auto&&... args) { calls.add(T{std::forward<decltype(args)>(args)...}); };
}

// A host-supplied item: just the properties a host hands in.
struct HostItem : FileProviderItem {
  ItemIdentifier id{"item"};
  ItemIdentifier parent{"1"};
  std::string name = "name";
  std::optional<ContentType> type;

  ItemIdentifier itemIdentifier() const override { return id; }
  ItemIdentifier parentItemIdentifier() const override { return parent; }
  std::string filename() const override { return name; }
  std::optional<ContentType> contentType() const override { return type; }
};

// Each runs one host operation and waits for its answer.
inline ItemAnswer lookUp(FileProviderExtension& extension, const ItemIdentifier& id) {
  Calls<ItemAnswer> answer;
  extension.item(id, {}, recordInto(answer));
  return answer.get();
}
inline FetchAnswer fetch(FileProviderExtension& extension, const ItemIdentifier& id) {
  Calls<FetchAnswer> answer;
  extension.fetchContents(id, std::nullopt, {}, recordInto(answer));
  return answer.get();
}
inline ChangeAnswer create(FileProviderExtension& extension,
                           std::shared_ptr<const FileProviderItem> itemTemplate,
                           std::optional<std::filesystem::path> contents) {
  Calls<ChangeAnswer> answer;
  extension.createItem(std::move(itemTemplate), ~ItemFields{0}, contents, 0, {},
                       recordInto(answer));
  return answer.get();
}
inline ChangeAnswer modify(FileProviderExtension& extension,
                           std::shared_ptr<const FileProviderItem> item, const ItemVersion& base,
                           ItemFields changed, std::optional<std::filesystem::path> contents) {
  Calls<ChangeAnswer> answer;
  extension.modifyItem(std::move(item), base, changed, contents, 0, {}, recordInto(answer));
  return answer.get();
}
inline std::optional<Error> removeItem(FileProviderExtension& extension, const ItemIdentifier& id,
                                       const ItemVersion& base = {}, ItemOptions options = 0) {
  Calls<std::optional<Error>> answer;
  extension.deleteItem(id, base, options, {}, recordInto(answer));
  return answer.get();
}

inline const char* kItemReply =
    R"({"item":{"id":"a","parent":"1","name":"a.txt","dir":false,"version":"v1"}})";

}  // namespace QuorvelleDrive::testing

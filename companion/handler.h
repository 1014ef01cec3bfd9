// One request object in, one reply object (and body) out. Knows the operations and their keys;
// the connection code around it knows only frames and bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "companion/backend.h"
#include "platform/json.h"

namespace QuorvelleDrive::companion {

struct Response {
  json::object json;
  std::optional<std::string> body;  // sent after the JSON; "size" in `json` announces it
  bool sent = false;                // the reply already went out through the ContentsSink
};

class Handler {
 public:
  Handler(Backend& catalog, std::optional<std::uint64_t> maxFileSize)
      : catalog_(catalog), maxFileSize_(maxFileSize) {}

  // Whether the request's body holds contents to keep ("create" of a file, "write").
  static bool keepsBody(const json::object& request);
  // A refusal that is certain before the body arrives, so that it need not be kept.
  std::optional<std::string> refusalBeforeBody(const json::object& request,
                                               std::uint64_t size) const;
  // `body` is the kept body, when keepsBody(request); a read's contents go to `sink`.
  Response handle(const json::object& request, StagedFile* body, ContentsSink& sink);

  static Response refusal(const std::string& word);

 private:
  Response dispatch(const std::string& op, const json::object& request, StagedFile* body,
                    ContentsSink& sink);
  json::object describe(const ItemInfo& info) const;
  json::array describe(const std::vector<ItemInfo>& items) const;
  Response withItem(const ItemInfo& info) const;

  Backend& catalog_;
  std::optional<std::uint64_t> maxFileSize_;
};

// The request's "size": none when absent; a Refusal when it is not a whole number from 0 up.
std::optional<std::uint64_t> announcedSize(const json::object& request);

}  // namespace QuorvelleDrive::companion

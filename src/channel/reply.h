// The result of one exchange with the companion app.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/buffer.h"
#include "platform/json.h"

namespace QuorvelleDrive {

class Item;

struct Reply {
  json::object json;           // the reply's top-level object, every key kept
  std::optional<Buffer> body;  // present only when the reply carried a numeric "size"

  // The item under "item", or nullptr when it is missing, not an object, or not a valid item.
  std::shared_ptr<const Item> item() const;
  // The items under "items" in order; invalid items are left out, and any element that is not
  // an object empties the whole list.
  std::vector<std::shared_ptr<const Item>> items() const;
};

}  // namespace QuorvelleDrive

// Item deletion: one "delete" request; options and base version never reach the companion.
#include "extension/attempt.h"
#include "extension/file_provider_extension.h"
#include "model/item.h"

namespace QuorvelleDrive {

std::shared_ptr<Progress> FileProviderExtension::deleteItem(const ItemIdentifier& identifier,
                                                            const ItemVersion&, ItemOptions,
                                                            const Request&,
                                                            DeleteCompletion completion) {
  return run([this, wire = Item::wire(identifier), completion = std::move(completion)] {
    completion(attempt([&] { call({{"op", "delete"}, {"id", wire}}); }));
  });
}

}  // namespace QuorvelleDrive

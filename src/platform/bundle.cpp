#include "platform/bundle.h"

namespace QuorvelleDrive {

Bundle& Bundle::main() {
  static Bundle bundle;
  return bundle;
}

std::shared_ptr<const json::object> Bundle::info() const {
  std::lock_guard lock(mutex_);
  return info_;
}

std::optional<json::value> Bundle::objectForInfoDictionaryKey(const std::string& key) const {
  auto dictionary = info();
  auto found = dictionary->find(key);
  if (found == dictionary->end()) return std::nullopt;
  return found->value();
}

void Bundle::setInfoDictionary(json::object info) {
  auto replacement = std::make_shared<const json::object>(std::move(info));
  std::lock_guard lock(mutex_);
  info_ = std::move(replacement);
}

}  // namespace QuorvelleDrive

// Host item identifiers: one string each, equal by text.
#pragma once

#include <functional>
#include <string>

namespace QuorvelleDrive {

class ItemIdentifier {
 public:
  explicit ItemIdentifier(std::string rawValue) : rawValue_(std::move(rawValue)) {}
  const std::string& rawValue() const { return rawValue_; }
  friend bool operator==(const ItemIdentifier&, const ItemIdentifier&) = default;
  friend auto operator<=>(const ItemIdentifier&, const ItemIdentifier&) = default;

 private:
  std::string rawValue_;
};

inline const ItemIdentifier& rootContainerItemIdentifier() {
  static const ItemIdentifier id("NSFileProviderRootContainerItemIdentifier");
  return id;
}
inline const ItemIdentifier& workingSetContainerItemIdentifier() {
  static const ItemIdentifier id("NSFileProviderWorkingSetContainerItemIdentifier");
  return id;
}
inline const ItemIdentifier& trashContainerItemIdentifier() {
  static const ItemIdentifier id("NSFileProviderTrashContainerItemIdentifier");
  return id;
}

}  // namespace QuorvelleDrive

template <>
struct std::hash<QuorvelleDrive::ItemIdentifier> {
  std::size_t operator()(const QuorvelleDrive::ItemIdentifier& id) const noexcept {
    return std::hash<std::string>{}(id.rawValue());
  }
};

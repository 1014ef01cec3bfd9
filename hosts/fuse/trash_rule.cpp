#include "trash_rule.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace QuorvelleDrive::fuse {

bool isDesktopTrash(const std::string& name) {
  constexpr std::string_view prefix = ".Trash-";
  if (!name.starts_with(prefix) || name.size() == prefix.size()) return false;
  return std::all_of(name.begin() + prefix.size(), name.end(),
                     [](unsigned char c) { return std::isdigit(c); });
}

}  // namespace QuorvelleDrive::fuse

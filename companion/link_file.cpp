#include "companion/link_file.h"

#include <climits>

namespace QuorvelleDrive::companion {

std::optional<std::string> linkNameOf(const std::string& fileName) {
  if (fileName.size() <= kLinkSuffix.size() || !fileName.ends_with(kLinkSuffix))
    return std::nullopt;
  return fileName.substr(0, fileName.size() - kLinkSuffix.size());
}

std::string linkFileName(const std::string& linkName) {
  return linkName + std::string(kLinkSuffix);
}

bool isLinkTarget(std::string_view bytes) {
  return !bytes.empty() && bytes.size() < PATH_MAX && bytes.find('\0') == std::string_view::npos;
}

}  // namespace QuorvelleDrive::companion

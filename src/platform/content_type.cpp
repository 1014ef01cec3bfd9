#include "platform/content_type.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace QuorvelleDrive {
namespace {

struct TypeEntry {
  std::string_view identifier;
  std::string_view parent;  // empty for the root
};

constexpr std::array kTypes{
    TypeEntry{"public.item", ""},
    TypeEntry{"public.data", "public.item"},
    TypeEntry{"public.directory", "public.item"},
    TypeEntry{"public.folder", "public.directory"},
    TypeEntry{"public.content", "public.data"},
    TypeEntry{"public.text", "public.content"},
    TypeEntry{"public.plain-text", "public.text"},
    TypeEntry{"public.json", "public.text"},
    TypeEntry{"public.html", "public.text"},
    TypeEntry{"public.image", "public.content"},
    TypeEntry{"public.jpeg", "public.image"},
    TypeEntry{"public.png", "public.image"},
    TypeEntry{"com.adobe.pdf", "public.content"},
    TypeEntry{"public.archive", "public.data"},
    TypeEntry{"public.zip-archive", "public.archive"},
};

struct ExtensionEntry {
  std::string_view extension;
  std::string_view identifier;
};

constexpr std::array kExtensions{
    ExtensionEntry{"txt", "public.plain-text"}, ExtensionEntry{"text", "public.plain-text"},
    ExtensionEntry{"json", "public.json"},      ExtensionEntry{"html", "public.html"},
    ExtensionEntry{"htm", "public.html"},       ExtensionEntry{"jpg", "public.jpeg"},
    ExtensionEntry{"jpeg", "public.jpeg"},      ExtensionEntry{"png", "public.png"},
    ExtensionEntry{"pdf", "com.adobe.pdf"},     ExtensionEntry{"zip", "public.zip-archive"},
};

std::string_view parentOf(std::string_view identifier) {
  for (const auto& entry : kTypes)
    if (entry.identifier == identifier) return entry.parent;
  return {};
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace

ContentType ContentType::folder() {
  return ContentType("public.folder");
}
ContentType ContentType::data() {
  return ContentType("public.data");
}
ContentType ContentType::item() {
  return ContentType("public.item");
}
ContentType ContentType::withIdentifier(std::string identifier) {
  return ContentType(std::move(identifier));
}

bool ContentType::conforms(const ContentType& other) const {
  for (std::string_view t = identifier_; !t.empty(); t = parentOf(t))
    if (t == other.identifier_) return true;
  return false;
}

std::optional<ContentType> ContentType::fromFilenameExtension(std::string_view extension,
                                                              const ContentType& conformingTo) {
  for (const auto& entry : kExtensions) {
    if (!equalsIgnoringCase(entry.extension, extension)) continue;
    ContentType type{std::string(entry.identifier)};
    if (type.conforms(conformingTo)) return type;
  }
  return std::nullopt;
}

std::string pathExtension(std::string_view name) {
  while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
  if (auto slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
  auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return {};
  return std::string(name.substr(dot + 1));
}

}  // namespace QuorvelleDrive

// Uniform type identifiers: a small built-in table of types, their conformance, and the lookup
// by filename extension. Values are immutable and cheap to copy.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace QuorvelleDrive {

class ContentType {
 public:
  static ContentType folder();  // public.folder
  static ContentType data();    // public.data, the generic type of files
  static ContentType item();    // public.item, the root of the hierarchy

  // The known type for `extension` (compared case-insensitively) that conforms to
  // `conformingTo`, or none.
  static std::optional<ContentType> fromFilenameExtension(std::string_view extension,
                                                          const ContentType& conformingTo);
  // Any identifier; one outside the table conforms only to itself.
  static ContentType withIdentifier(std::string identifier);

  const std::string& identifier() const { return identifier_; }
  // True when this type is `other` or descends from it.
  bool conforms(const ContentType& other) const;

  friend bool operator==(const ContentType&, const ContentType&) = default;

 private:
  explicit ContentType(std::string identifier) : identifier_(std::move(identifier)) {}
  std::string identifier_;
};

// The platform's path-extension rule: the text after the last '.' of the last path component,
// when that dot is neither the component's first character nor its last; else empty.
std::string pathExtension(std::string_view name);

}  // namespace QuorvelleDrive

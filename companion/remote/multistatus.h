// The body of a WebDAV PROPFIND answer (207 Multi-Status), read with libxml2: one entry per
// resource with the properties the drive keeps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace QuorvelleDrive::companion::remote {

struct DavResource {
  std::string href;  // as sent: a path or a whole URL, percent-encoded
  bool dir = false;
  std::string etag;  // as sent, quotes and any W/ included; empty when the server gave none
  std::uint64_t size = 0;
  double mtime = 0;
};

// Readies the parser; call once before threads parse (it is idempotent).
void initialiseXmlParser();

// Resources whose properties came with a 200 status. Throws std::runtime_error when the text is
// not a multistatus document.
std::vector<DavResource> parseMultistatus(std::string_view xml);

}  // namespace QuorvelleDrive::companion::remote

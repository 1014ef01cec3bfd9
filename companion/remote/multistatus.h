// The body of a WebDAV 207 Multi-Status answer, read with libxml2: for PROPFIND one entry per
// resource with the properties the drive keeps; for MOVE, COPY and DELETE the statuses inside.
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
  // RFC 4331, where the server gives them (asked for on the drive's root only).
  std::optional<std::uint64_t> quotaAvailable;
  std::optional<std::uint64_t> quotaUsed;
};

// Readies the parser; call once before threads parse (it is idempotent).
void initialiseXmlParser();

// Resources whose properties came with a 200 status. Throws std::runtime_error when the text is
// not a multistatus document.
std::vector<DavResource> parseMultistatus(std::string_view xml);

// The first failing status (not 2xx) that a 207 answer to MOVE, COPY or DELETE holds for one of
// its resources; none when every one succeeded. A body that cannot be read counts as 502, since
// what happened is unknown.
std::optional<int> failedStatus(std::string_view xml);

}  // namespace QuorvelleDrive::companion::remote

// What the bundled companion found about a WebDAV server (server.json beside its socket), for
// `qdrive status` of a mount over `--remote`. The mount never reaches the companion but through
// the extension, so the companion publishes this file and status reads it.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>

#include "platform/json.h"

namespace QuorvelleDrive::fuse {

// The report in `container`, when a companion keeping its drive on a server wrote one.
std::optional<json::object> readServerReport(const std::filesystem::path& container);
// For people: the server's URL, whether the credentials were accepted, one line per ability.
void printServerReport(const json::object& report, std::ostream& out);

}  // namespace QuorvelleDrive::fuse

// What the bundled companion found about a WebDAV server (server.json beside its socket), for
// `qdrive status` of a mount over `--remote`. The mount never reaches the companion but through
// the extension, so the companion publishes this file and status reads it.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "platform/json.h"

namespace QuorvelleDrive::fuse {

// The report in `container`, when a companion keeping its drive on a server wrote one.
std::optional<json::object> readServerReport(const std::filesystem::path& container);
// The report of the container this process's host uses (its app group in the bundle info).
std::optional<json::object> readThisHostsServerReport();

// How the server stands, as a report says.
struct ServerState {
  std::string url;
  std::string credentials;
  bool answering = true;
  std::time_t silentSince = 0;  // when it stopped answering
  std::string silence;          // what the companion's HTTP library said of it
  std::optional<std::time_t> nextLook;
  std::uint64_t largestTaken = 0;            // the largest body it took, 0 when none yet
  std::optional<std::uint64_t> refusedBody;  // the body it last refused as too large
};
ServerState serverState(const json::object& report);

// For people: the server's URL, whether it answers, whether the credentials were accepted, one
// line per ability.
void printServerReport(const json::object& report, std::ostream& out);

}  // namespace QuorvelleDrive::fuse

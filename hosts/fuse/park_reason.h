// Why a change was parked, in words that say what happened and what to do about it: what
// `qdrive status` shows after "parked:".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/error.h"
#include "server_report.h"

namespace QuorvelleDrive::fuse {

struct ParkedChange {
  bool carriesBytes = false;           // a file's new contents, not a rename or removal
  std::optional<std::int64_t> size;    // of those bytes, when known
  std::optional<std::int64_t> memory;  // available to this machine (for an upload held whole)
};

// `otherwise` is said for an error these words do not cover; `server`, how the server that keeps
// the drive stands, if one does: a body refused as too large is then its refusal.
std::string parkReason(const Error& error, const ParkedChange& change, const std::string& otherwise,
                       const std::optional<ServerState>& server);
// The same, with the server of this process's drive as its companion last reported it.
std::string parkReason(const Error& error, const ParkedChange& change,
                       const std::string& otherwise);

// MemAvailable from /proc/meminfo, in bytes; nothing when it cannot be read.
std::optional<std::int64_t> memoryAvailable();

// "42949672960 bytes (40.0 GiB)"; small sizes in bytes only.
std::string sizeInWords(std::int64_t bytes);

}  // namespace QuorvelleDrive::fuse

// The extension's road to the companion app: one request per Unix-domain connection.
//
// Wire: a 4-byte big-endian length, the request's compact JSON text, then the body bytes if any;
// the reply is framed the same way (at most kMaxReplyJSON bytes of JSON), followed by a body only
// when the reply has a numeric "size" and no string "error".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "channel/reply.h"
#include "platform/json.h"

namespace QuorvelleDrive {

class AppClient {
 public:
  static constexpr std::uint32_t kMaxReplyJSON = 67'108'864;
  static constexpr std::size_t kMaxPathBytes = 103;

  // A client for the group's container socket, or none when the platform has no container.
  static std::optional<AppClient> create(const std::string& group);
  explicit AppClient(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }

  // One exchange; blocks until the companion answers or closes. Throws Unavailable for transport
  // and framing failures, the JSON reader's or writer's Error unchanged, and appError(word) for a
  // reply carrying a string "error". Re-entrant: every call has its own socket.
  Reply call(const json::object& request,
             std::optional<std::span<const std::byte>> body = std::nullopt) const;

 private:
  std::string path_;
};

}  // namespace QuorvelleDrive

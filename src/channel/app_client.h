// The extension's road to the companion app: one request per Unix-domain connection.
//
// Wire: a 4-byte big-endian length, the request's compact JSON text, then the body bytes if any;
// the reply is framed the same way (at most kMaxReplyJSON bytes of JSON), followed by a body only
// when the reply has a numeric "size" and no string "error". Bodies may live in files: a
// file-backed request body is sent from its file, and a reply body may be received straight into
// a fresh file, so a body of any size costs this process no memory of its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
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

  // Where a reply body is kept, asked once a reply without an error word has announced a body of
  // `size` bytes: a folder in which to receive it straight into a fresh unnamed file (see
  // createUnnamedFile; the reply's body is then backed by that file), or none to keep it in
  // memory.
  using BodyFolder = std::function<std::optional<std::filesystem::path>(std::size_t size)>;

  // A client for the group's container socket, or none when the platform has no container.
  static std::optional<AppClient> create(const std::string& group);
  explicit AppClient(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }

  // One exchange; blocks until the companion answers or closes. Throws Unavailable for transport
  // and framing failures, the JSON reader's or writer's Error unchanged, and appError(word) for a
  // reply carrying a string "error". Re-entrant: every call has its own socket.
  Reply call(const json::object& request,
             std::optional<std::span<const std::byte>> body = std::nullopt) const;
  // The same exchange with the request body taken from `body` when there is one (a file-backed
  // body goes from its file without passing through memory: a file that changes size while it
  // is sent ends the exchange short, so the companion never takes it as whole, and throws
  // Unavailable) and the reply body kept where `replyBodyFolder` says (in memory when it is
  // empty). A failure to keep the reply body (the folder's or the file's write error) is thrown
  // only once the whole body has been read, so a reply cut short is still Unavailable.
  Reply call(const json::object& request, const Buffer* body,
             const BodyFolder& replyBodyFolder = nullptr) const;

 private:
  Reply exchange(const json::object& request, const std::function<void(int)>& sendBody,
                 const BodyFolder& replyBodyFolder = nullptr) const;

  std::string path_;
};

}  // namespace QuorvelleDrive

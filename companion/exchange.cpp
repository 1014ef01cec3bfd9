#include "companion/exchange.h"

#include <sys/socket.h>

#include <optional>

#include "companion/framing.h"
#include "companion/refusal.h"
#include "platform/kernel_copy.h"

namespace QuorvelleDrive::companion {

namespace {

// Reads `size` bytes into `staged` (or nowhere); false when the client left first.
bool receiveBody(int fd, std::uint64_t size, StagedFile* staged, bool sync) {
  if (!(staged ? staged->receive(fd, size) : skipBody(fd, static_cast<std::size_t>(size))))
    return false;
  if (staged && sync) staged->sync();
  return true;
}

void reply(int fd, const Response& response) {
  if (response.sent) return;
  std::string text = writeJSON(response.json);
  writeFrame(fd, text, response.body ? std::string_view(*response.body) : std::string_view());
}

// A read's reply straight onto the socket: the frame announcing the size, then the bytes as the
// backend hands them over.
class SocketSink : public ContentsSink {
 public:
  explicit SocketSink(int fd) : fd_(fd) {}

  void begin(std::uint64_t size) override {
    if (size >= kLargeBody) widenSendBuffer();
    std::string text = writeJSON(json::object{{"size", size}});
    if (!writeFrame(fd_, text)) throw Refusal(Word::io);
  }
  bool write(std::string_view bytes) override { return writeAll(fd_, bytes.data(), bytes.size()); }
  bool sendFile(int fd, std::uint64_t size) override { return sendFileAll(fd_, fd, size); }

 private:
  // More bytes queued per wake-up of the reader; the kernel caps it at net.core.wmem_max.
  static constexpr std::uint64_t kLargeBody = 1 << 20;
  void widenSendBuffer() const {
    int bytes = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  }

  int fd_;
};

std::optional<json::object> parseRequest(const std::string& text) {
  try {
    json::value value = readJSON(text);
    if (value.is_object()) return value.as_object();
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

struct BodyOutcome {
  bool gone = false;  // the client left mid-body
  std::optional<std::string> refusal;
};

// The body goes to a staged file only when it is contents to keep and nothing refuses it yet.
BodyOutcome takeBody(int fd, const json::object& request, std::uint64_t size, Handler& handler,
                     const Store& store, bool sync, std::optional<StagedFile>& staged) {
  auto refused = handler.refusalBeforeBody(request, size);
  if (!refused && Handler::keepsBody(request)) {
    try {
      staged.emplace(store.stage());
    } catch (const Refusal& refusal) {
      refused = refusal.word();
    }
  }
  return {!receiveBody(fd, size, staged ? &*staged : nullptr, sync), refused};
}

}  // namespace

std::string overLongReply() {
  std::string text = writeJSON(Handler::refusal(Word::badRequest).json);
  return frameHeader(static_cast<std::uint32_t>(text.size())) + text;
}

void serveConnection(int fd, Handler& handler, const Backend& backend) {
  FrameReader frame(kMaxRequestJSON);
  while (!frame.complete()) {
    auto space = frame.space();
    if (space.empty()) {
      std::string refusal = overLongReply();
      writeAll(fd, refusal.data(), refusal.size());
      return;
    }
    if (!readExact(fd, space.data(), space.size())) return;
    frame.filled(space.size());
  }
  serveExchange(fd, frame.take(), handler, backend);
}

void serveExchange(int fd, const std::string& text, Handler& handler, const Backend& backend) {
  auto request = parseRequest(text);
  if (!request) return reply(fd, Handler::refusal(Word::badRequest));
  std::uint64_t size = 0;
  try {
    size = announcedSize(*request).value_or(0);
  } catch (const Refusal& refusal) {
    return reply(fd, Handler::refusal(refusal.word()));
  }
  std::optional<StagedFile> staged;
  auto body =
      takeBody(fd, *request, size, handler, backend.store(), backend.keepsStagedBodies(), staged);
  if (body.gone) return;
  if (body.refusal) return reply(fd, Handler::refusal(*body.refusal));
  SocketSink sink(fd);
  auto response = handler.handle(*request, staged ? &*staged : nullptr, sink);
  // Bytes not kept give their space back before the client hears, so that a retry after
  // noSpace finds it free.
  staged.reset();
  reply(fd, response);
}

}  // namespace QuorvelleDrive::companion

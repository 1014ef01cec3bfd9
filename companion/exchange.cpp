#include "companion/exchange.h"

#include <optional>

#include "companion/framing.h"
#include "companion/refusal.h"

namespace QuorvelleDrive::companion {

namespace {

// Enough for what a Unix socket hands over in one read.
constexpr std::size_t kChunk = 256 * 1024;

// Reads `size` bytes into `staged` (or nowhere); false when the client left first.
bool receiveBody(int fd, std::uint64_t size, StagedFile* staged) {
  std::string chunk(static_cast<std::size_t>(std::min<std::uint64_t>(size, kChunk)), '\0');
  while (size > 0) {
    auto part = static_cast<std::size_t>(std::min<std::uint64_t>(size, chunk.size()));
    if (!readExact(fd, chunk.data(), part)) return false;
    if (staged) staged->append(chunk.data(), part);
    size -= part;
  }
  if (staged) staged->sync();
  return true;
}

void reply(int fd, const Response& response) {
  std::string text = writeJSON(response.json);
  writeFrame(fd, text, response.body ? std::string_view(*response.body) : std::string_view());
}

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
                     const Store& store, std::optional<StagedFile>& staged) {
  auto refused = handler.refusalBeforeBody(request, size);
  if (!refused && Handler::keepsBody(request)) {
    try {
      staged.emplace(store.stage());
    } catch (const Refusal& refusal) {
      refused = refusal.word();
    }
  }
  return {!receiveBody(fd, size, staged ? &*staged : nullptr), refused};
}

}  // namespace

std::string overLongReply() {
  std::string text = writeJSON(Handler::refusal(Word::badRequest).json);
  return frameHeader(static_cast<std::uint32_t>(text.size())) + text;
}

void serveConnection(int fd, Handler& handler, const Store& store) {
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
  serveExchange(fd, frame.take(), handler, store);
}

void serveExchange(int fd, const std::string& text, Handler& handler, const Store& store) {
  auto request = parseRequest(text);
  if (!request) return reply(fd, Handler::refusal(Word::badRequest));
  std::uint64_t size = 0;
  try {
    size = announcedSize(*request).value_or(0);
  } catch (const Refusal& refusal) {
    return reply(fd, Handler::refusal(refusal.word()));
  }
  std::optional<StagedFile> staged;
  auto body = takeBody(fd, *request, size, handler, store, staged);
  if (body.gone) return;
  if (body.refusal) return reply(fd, Handler::refusal(*body.refusal));
  auto response = handler.handle(*request, staged ? &*staged : nullptr);
  // Bytes not kept give their space back before the client hears, so that a retry after
  // noSpace finds it free.
  staged.reset();
  reply(fd, response);
}

}  // namespace QuorvelleDrive::companion

#include "support/fake_companion.h"

#include "companion/framing.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace QuorvelleDrive::testing {
namespace {

constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kChunk = 64 * 1024;
// As many exchanges at once as tests hold, requests as long as the channel sends, and no hurry.
const companion::ServerLimits kLimits{
    4096, 4096, companion::kMaxFrameJSON, {}, std::chrono::seconds(60), std::chrono::seconds(60)};

// Appends up to `count` bytes to `out`, fewer when the peer stops sending (or, with
// MSG_DONTWAIT, has nothing more yet); false when cut short.
bool readUpTo(int fd, std::uint64_t count, std::string& out, int flags = 0) {
  char buffer[kChunk];
  while (count > 0) {
    const ssize_t got = ::recv(fd, buffer, std::min<std::uint64_t>(count, kChunk), flags);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out.append(buffer, static_cast<std::size_t>(got));
    count -= static_cast<std::uint64_t>(got);
  }
  return true;
}

// Takes whatever has already arrived beyond the frame, so that `raw` shows trailing bytes and
// close() does not reset a peer whose bytes were left unread.
void drainAvailable(int fd, std::string& out) {
  readUpTo(fd, std::numeric_limits<std::uint64_t>::max(), out, MSG_DONTWAIT);
}

boost::json::object lenientObject(std::string_view text) {
  boost::json::parse_options options;
  options.max_depth = 4096;  // the fake must not reject what the channel may legitimately send
  boost::json::error_code error;
  boost::json::value value = boost::json::parse(text, error, {}, options);
  return !error && value.is_object() ? std::move(value.as_object()) : boost::json::object();
}

// Completes the request whose frame `raw` holds: its body, and whatever follows; false when the
// peer stopped before all of it came.
bool readRequest(int fd, RecordedRequest& request) {
  std::string& raw = request.raw;
  request.json = lenientObject(std::string_view(raw).substr(kHeaderSize));
  boost::json::error_code notCount;
  const boost::json::value* size = request.json.if_contains("size");
  const std::uint64_t bodySize = size ? size->to_number<std::uint64_t>(notCount) : 0;
  if (size && !notCount) {
    const std::size_t bodyStart = raw.size();
    const bool whole = readUpTo(fd, bodySize, raw);
    request.body = raw.substr(bodyStart);
    if (!whole) return false;
  }
  drainAvailable(fd, raw);
  return true;
}

}  // namespace

std::string frame(std::string_view json, std::string_view body) {
  return companion::frameHeader(static_cast<std::uint32_t>(json.size())).append(json).append(body);
}

FakeCompanion::FakeCompanion(std::filesystem::path socketPath)
    : path_(std::move(socketPath)),
      fallback_([](const RecordedRequest&) { return Answer::reply("{}"); }),
      server_(std::make_unique<companion::Server>(
          path_, [this](int fd, std::string request) { serve(fd, std::move(request)); }, nullptr,
          kLimits)) {}

FakeCompanion::~FakeCompanion() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();  // held answers give up; the server then shuts the rest down
  server_.reset();
}

void FakeCompanion::enqueue(Answer answer) {
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(answer));
}

void FakeCompanion::setFallback(std::function<Answer(const RecordedRequest&)> fallback) {
  std::lock_guard lock(mutex_);
  fallback_ = std::move(fallback);
}

void FakeCompanion::release() {
  {
    std::lock_guard lock(mutex_);
    ++releases_;
  }
  changed_.notify_all();
}

std::vector<RecordedRequest> FakeCompanion::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t FakeCompanion::connectionCount() const {
  return server_->accepted();
}

bool FakeCompanion::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

bool FakeCompanion::waitForHeld(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return held_ >= count; });
}

// Scripted answers are used in the order requests arrive; a fallback answer is chosen only once
// the request is in, since the fallback looks at it. A fallback asking to close after reading
// just closes: the request has been read by then. The listener has read the frame already, so
// closing after fewer bytes records just those.
void FakeCompanion::serve(int fd, std::string json) {
  std::optional<Answer> scripted = nextScripted();
  RecordedRequest request;
  request.raw = frame(json);
  bool complete = false;
  if (scripted && scripted->kind == Answer::Kind::CloseAfterReading) {
    if (request.raw.size() >= scripted->readLimit)
      request.raw.resize(scripted->readLimit);
    else
      readUpTo(fd, scripted->readLimit - request.raw.size(), request.raw);
  } else {
    complete = readRequest(fd, request);
  }
  if (request.raw.empty()) return;
  const Answer chosen = scripted ? std::move(*scripted) : fallbackFor(request);
  record(std::move(request));
  if (!complete) return;
  // The client may have gone by the time an answer is written; that is its business.
  if (chosen.kind == Answer::Kind::Send ||
      (chosen.kind == Answer::Kind::Hold && holdUntilReleased())) {
    companion::writeAll(fd, chosen.bytes.data(), chosen.bytes.size());
  }
  std::string unread;
  drainAvailable(fd, unread);
}

std::optional<Answer> FakeCompanion::nextScripted() {
  std::lock_guard lock(mutex_);
  if (queue_.empty()) return std::nullopt;
  Answer next = std::move(queue_.front());
  queue_.pop_front();
  return next;
}

Answer FakeCompanion::fallbackFor(const RecordedRequest& request) const {
  std::function<Answer(const RecordedRequest&)> fallback;
  {
    std::lock_guard lock(mutex_);
    fallback = fallback_;
  }
  return fallback ? fallback(request) : Answer::reply("{}");
}

void FakeCompanion::record(RecordedRequest request) {
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
  }
  changed_.notify_all();
}

// True when released; false when the fake is going away.
bool FakeCompanion::holdUntilReleased() {
  std::unique_lock lock(mutex_);
  const std::uint64_t generation = releases_;
  ++held_;
  changed_.notify_all();
  changed_.wait(lock, [&] { return stopping_ || releases_ != generation; });
  --held_;
  return !stopping_;
}

}  // namespace QuorvelleDrive::testing

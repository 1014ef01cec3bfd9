#include "support/fake_companion.h"

#include "companion/framing.h"

#include <sys/socket.h>

#include <cerrno>

namespace QuorvelleDrive::testing {
namespace {

constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kChunk = 64 * 1024;

// Appends up to `count` bytes to `out`, fewer when the peer stops sending; false when cut short.
bool readUpTo(int fd, std::uint64_t count, std::string& out) {
  char buffer[kChunk];
  while (count > 0) {
    const std::size_t want = count < kChunk ? static_cast<std::size_t>(count) : kChunk;
    const ssize_t got = ::recv(fd, buffer, want, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out.append(buffer, static_cast<std::size_t>(got));
    count -= static_cast<std::uint64_t>(got);
  }
  return true;
}

// Takes whatever has already arrived beyond the frame, so that `raw` shows trailing bytes and
// close() does not reset a peer whose bytes were left unread.
void drainAvailable(int fd, std::string* out) {
  char buffer[kChunk];
  while (true) {
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    if (out != nullptr) out->append(buffer, static_cast<std::size_t>(got));
  }
}

std::uint32_t bigEndianLength(std::string_view header) {
  std::uint32_t length = 0;
  for (const char byte : header) length = (length << 8) | static_cast<unsigned char>(byte);
  return length;
}

boost::json::object lenientObject(std::string_view text) {
  boost::json::parse_options options;
  options.max_depth = 4096;  // the fake must not reject what the channel may legitimately send
  boost::json::error_code error;
  boost::json::value value = boost::json::parse(text, error, {}, options);
  return !error && value.is_object() ? std::move(value.as_object()) : boost::json::object();
}

std::optional<std::uint64_t> announcedSize(const boost::json::object& json) {
  const boost::json::value* size = json.if_contains("size");
  if (size == nullptr) return std::nullopt;
  if (size->is_uint64()) return size->as_uint64();
  if (size->is_int64() && size->as_int64() >= 0) {
    return static_cast<std::uint64_t>(size->as_int64());
  }
  return std::nullopt;
}

struct Incoming {
  RecordedRequest request;
  bool complete = false;
};

Incoming readRequest(int fd) {
  Incoming in;
  std::string& raw = in.request.raw;
  if (!readUpTo(fd, kHeaderSize, raw)) return in;
  if (!readUpTo(fd, bigEndianLength(raw), raw)) return in;
  in.request.json = lenientObject(std::string_view(raw).substr(kHeaderSize));
  if (const auto size = announcedSize(in.request.json)) {
    const std::size_t bodyStart = raw.size();
    const bool whole = readUpTo(fd, *size, raw);
    in.request.body = raw.substr(bodyStart);
    if (!whole) return in;
  }
  drainAvailable(fd, &raw);
  in.complete = true;
  return in;
}

}  // namespace

std::string frame(std::string_view json, std::string_view body) {
  std::string out = companion::frameHeader(static_cast<std::uint32_t>(json.size()));
  out.append(json);
  out.append(body);
  return out;
}

Answer Answer::reply(std::string_view json, std::string_view body) {
  return Answer{Kind::Send, frame(json, body)};
}

Answer Answer::raw(std::string bytes) {
  return Answer{Kind::Send, std::move(bytes)};
}

Answer Answer::hold(Answer then) {
  return Answer{Kind::Hold, std::move(then.bytes)};
}

Answer Answer::closeWithoutReading() {
  return Answer{Kind::CloseWithoutReading, {}};
}

Answer Answer::closeAfterReading(std::size_t count) {
  return Answer{Kind::CloseAfterReading, {}, count};
}

FakeCompanion::FakeCompanion(std::filesystem::path socketPath)
    : path_(std::move(socketPath)),
      fallback_([](const RecordedRequest&) { return Answer::reply("{}"); }),
      server_(std::make_unique<companion::Server>(
          path_, [this](int fd) { serve(fd); }, nullptr)) {}

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
  std::lock_guard lock(mutex_);
  return connections_;
}

bool FakeCompanion::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

bool FakeCompanion::waitForHeld(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return held_ >= count; });
}

// Scripted answers are used in the order connections are served; a fallback answer is chosen
// only once the request is in, since the fallback looks at it. A fallback asking to close without
// reading just closes: the request has been read by then.
void FakeCompanion::serve(int fd) {
  std::optional<Answer> scripted = nextScripted();
  if (scripted && scripted->kind == Answer::Kind::CloseAfterReading) {
    RecordedRequest cut;
    readUpTo(fd, scripted->readLimit, cut.raw);
    record(std::move(cut));
  } else if (!scripted || scripted->kind != Answer::Kind::CloseWithoutReading) {
    Incoming in = readRequest(fd);
    const bool complete = in.complete;
    if (!in.request.raw.empty()) {
      const Answer chosen = scripted ? std::move(*scripted) : fallbackFor(in.request);
      record(std::move(in.request));
      if (complete) respond(fd, chosen);
    }
  }
}

std::optional<Answer> FakeCompanion::nextScripted() {
  std::lock_guard lock(mutex_);
  ++connections_;
  if (queue_.empty()) return std::nullopt;
  Answer next = std::move(queue_.front());
  queue_.pop_front();
  return next;
}

void FakeCompanion::respond(int fd, const Answer& answer) {
  const bool send = answer.kind == Answer::Kind::Send ||
                    (answer.kind == Answer::Kind::Hold && holdUntilReleased());
  // The client may have gone by the time an answer is written; that is its business.
  if (send) companion::writeAll(fd, answer.bytes.data(), answer.bytes.size());
  drainAvailable(fd, nullptr);
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

// A scripted stand-in for the companion app. It serves its socket with the companion's own
// listener, reads requests with framing code of its own (independent of the channel under test),
// records every request it receives, and answers each connection with raw scripted bytes.
#pragma once

#include <boost/json.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "companion/server.h"

namespace QuorvelleDrive::testing {

struct RecordedRequest {
  std::string raw;           // every byte received on the connection, header included
  boost::json::object json;  // the decoded request object (empty when it did not parse)
  std::string body;          // bytes after the JSON, as announced by a numeric "size"
};

// Frames `json` and appends `body`, as a reply or a request would be framed.
std::string frame(std::string_view json, std::string_view body = {});

// What the fake does on one connection after reading the request.
struct Answer {
  enum class Kind { Send, Hold, CloseAfterReading };
  Kind kind = Kind::Send;
  std::string bytes;          // written as they stand (Send, and Hold after release)
  std::size_t readLimit = 0;  // CloseAfterReading: bytes of the request taken before closing

  // A well-formed reply frame: 4-byte big-endian length of `json`, `json`, then `body`.
  static Answer reply(std::string_view json, std::string_view body = {}) {
    return {Kind::Send, frame(json, body)};
  }
  // Arbitrary bytes: wrong lengths, cut frames, trailing garbage.
  static Answer raw(std::string bytes) { return {Kind::Send, std::move(bytes)}; }
  // Waits until release() (or destruction) before writing `then`; for concurrency tests and
  // replies that never come.
  static Answer hold(Answer then = reply("{}")) { return {Kind::Hold, std::move(then.bytes)}; }
  // Reads the first `count` bytes of the request (header included), then closes.
  static Answer closeAfterReading(std::size_t count) {
    return {Kind::CloseAfterReading, {}, count};
  }
  // Closes the connection at once, before reading the request.
  static Answer closeWithoutReading() { return closeAfterReading(0); }
};

// Test data that must be a JSON object.
inline boost::json::object parseObject(std::string_view text) {
  return boost::json::parse(text).as_object();
}

class FakeCompanion {
 public:
  // Listens at `socketPath` (created; a stale socket there is replaced).
  explicit FakeCompanion(std::filesystem::path socketPath);
  // Releases held answers, stops listening and joins every connection thread. Connections still
  // open (held, or stuck reading or writing) are shut down; a held one gets no answer.
  ~FakeCompanion();
  FakeCompanion(const FakeCompanion&) = delete;
  FakeCompanion& operator=(const FakeCompanion&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Answers are used in order, one per connection; once they run out, `fallback` answers
  // (by default the reply {}).
  void enqueue(Answer answer);
  void setFallback(std::function<Answer(const RecordedRequest&)> fallback);

  // Lets held answers go: those held now. A connection that reaches its hold later waits for the
  // next release().
  void release();

  // Every request received so far, in arrival order.
  std::vector<RecordedRequest> requests() const;
  // Connections accepted, whether or not a request came on them.
  std::size_t connectionCount() const;
  // Waits until `count` requests have been received (or connections held); false on time-out.
  bool waitForRequests(std::size_t count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Waits until `count` connections are being held at once.
  bool waitForHeld(std::size_t count,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  void serve(int fd, std::string json);
  std::optional<Answer> nextScripted();
  Answer fallbackFor(const RecordedRequest& request) const;
  void record(RecordedRequest request);
  bool holdUntilReleased();

  std::filesystem::path path_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<Answer> queue_;
  std::function<Answer(const RecordedRequest&)> fallback_;
  std::vector<RecordedRequest> requests_;
  std::size_t held_ = 0;
  std::uint64_t releases_ = 0;  // a hold waits until this moves on
  bool stopping_ = false;
  // Last, so it stops (shutting down and joining every connection) before the rest goes.
  std::unique_ptr<companion::Server> server_;
};

}  // namespace QuorvelleDrive::testing

// Reply bytes from a companion, through the real channel: framing, JSON, "error" and "size".
#include <stdlib.h>

#include <filesystem>
#include <mutex>
#include <string>

#include "channel/app_client.h"
#include "companion/framing.h"
#include "companion/server.h"
#include "model/item.h"

namespace {

std::filesystem::path freshSocketPath() {
  char dir[] = "/tmp/qd-fuzz-reply.XXXXXX";
  return std::filesystem::path(::mkdtemp(dir)) / "drive.sock";
}

// Answers every connection with the bytes of the current input, after reading its request.
class ScriptedPeer {
 public:
  ~ScriptedPeer() {
    server_.reset();
    std::filesystem::remove_all(path_.parent_path());
  }
  void answerWith(std::string bytes) {
    std::lock_guard lock(mutex_);
    reply_ = std::move(bytes);
  }
  std::string path() const { return path_.string(); }

 private:
  // The listener has read the request frame.
  void answer(int fd) {
    std::string reply;
    {
      std::lock_guard lock(mutex_);
      reply = reply_;
    }
    QuorvelleDrive::companion::writeAll(fd, reply.data(), reply.size());
  }

  std::filesystem::path path_ = freshSocketPath();
  std::mutex mutex_;
  std::string reply_;
  std::unique_ptr<QuorvelleDrive::companion::Server> server_ =
      std::make_unique<QuorvelleDrive::companion::Server>(
          path_, [this](int fd, std::string) { answer(fd); }, nullptr);
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ScriptedPeer peer;
  peer.answerWith(std::string(reinterpret_cast<const char*>(data), size));
  QuorvelleDrive::AppClient client(peer.path());
  try {
    auto reply = client.call({{"op", "read"}, {"id", "a"}});
    (void)reply.item();
    (void)reply.items();
  } catch (...) {
    // Every failure is an answer the caller handles; only crashes and sanitizer reports count.
  }
  return 0;
}

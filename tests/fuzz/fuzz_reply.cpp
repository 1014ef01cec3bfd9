// Reply bytes from a companion, through the real channel: framing, JSON, "error" and "size".
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "channel/app_client.h"
#include "model/item.h"

namespace {

// Answers every connection with the bytes of the current input, after reading its request.
class ScriptedPeer {
 public:
  ScriptedPeer() {
    char dir[] = "/tmp/qd-fuzz-reply.XXXXXX";
    path_ = std::string(::mkdtemp(dir)) + "/drive.sock";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path_.c_str());
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 4) != 0)
      ::abort();
    std::thread([this] { serve(); }).detach();  // lives as long as the fuzzing process
  }
  ~ScriptedPeer() {
    ::unlink(path_.c_str());
    ::rmdir(std::filesystem::path(path_).parent_path().c_str());
  }
  void answerWith(std::string bytes) {
    std::lock_guard lock(mutex_);
    reply_ = std::move(bytes);
  }
  const std::string& path() const { return path_; }

 private:
  void serve() {
    for (;;) {
      int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      readRequest(fd);
      std::string reply;
      {
        std::lock_guard lock(mutex_);
        reply = reply_;
      }
      for (std::size_t sent = 0; sent < reply.size();) {
        ssize_t n = ::send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
      ::close(fd);
    }
  }
  static void readRequest(int fd) {
    unsigned char header[4];
    if (::recv(fd, header, 4, MSG_WAITALL) != 4) return;
    std::size_t length =
        (std::size_t{header[0]} << 24) | (header[1] << 16) | (header[2] << 8) | header[3];
    std::string json(length, '\0');
    ::recv(fd, json.data(), length, MSG_WAITALL);
  }

  std::string path_;
  int listener_ = -1;
  std::mutex mutex_;
  std::string reply_;
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

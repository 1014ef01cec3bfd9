// Request frames (and whatever follows them) into the reference companion's request handling,
// on a throw-away store.
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "companion/catalog.h"
#include "companion/exchange.h"
#include "companion/handler.h"

namespace {

namespace qc = QuorvelleDrive::companion;

std::string seededStore() {
  char dir[] = "/tmp/qd-fuzz-store.XXXXXX";
  std::string root = ::mkdtemp(dir);
  std::filesystem::create_directories(root + "/docs");
  std::ofstream(root + "/docs/a.txt") << "alpha";
  return root;
}

struct ThrowAwayStore {
  ~ThrowAwayStore() { std::filesystem::remove_all(root); }
  std::string root = seededStore();
  qc::Catalog catalog{root, false};
  qc::Handler handler{catalog, std::uint64_t{1} << 20};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ThrowAwayStore store;
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  // Replies stay small on this store, so they fit the socket buffer unread.
  for (std::size_t sent = 0; sent < size;) {
    ssize_t n = ::send(fds[1], data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  ::shutdown(fds[1], SHUT_WR);
  qc::serveConnection(fds[0], store.handler, store.catalog);
  ::close(fds[0]);
  ::close(fds[1]);
  return 0;
}

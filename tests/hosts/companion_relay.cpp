#include "hosts/companion_relay.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <boost/json.hpp>
#include <cstring>
#include <stdexcept>

#include "companion/framing.h"

namespace QuorvelleDrive::testing {
namespace {

sockaddr_un addressOf(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  return address;
}

bool isChange(const std::string& op) {
  return op == "create" || op == "write" || op == "rename" || op == "delete";
}

std::uint32_t lengthOf(const char* header) {
  const auto* b = reinterpret_cast<const unsigned char*>(header);
  return (std::uint32_t{b[0]} << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
}

std::size_t bodySize(const boost::json::object& json) {
  auto* size = json.if_contains("size");
  return size && size->is_int64() ? static_cast<std::size_t>(size->as_int64()) : 0;
}

std::string textOf(const boost::json::object& json, const char* key) {
  auto* value = json.if_contains(key);
  return value && value->is_string() ? std::string(value->as_string()) : std::string();
}

}  // namespace

CompanionRelay::CompanionRelay(std::filesystem::path socket, std::filesystem::path upstream)
    : socket_(std::move(socket)), upstream_(std::move(upstream)) {
  std::filesystem::create_directories(socket_.parent_path());
  std::filesystem::remove(socket_);
  listener_ = companion::UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  auto address = addressOf(socket_);
  if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener_.get(), 64) != 0)
    throw std::runtime_error("relay: cannot listen at " + socket_.string());
  acceptor_ = std::thread(&CompanionRelay::acceptLoop, this);
}

CompanionRelay::~CompanionRelay() {
  stopping_ = true;
  acceptor_.join();
  for (auto& thread : threads_) thread.join();
}

std::vector<CompanionRelay::Request> CompanionRelay::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

int CompanionRelay::count(const std::string& op, const std::string& name) const {
  int n = 0;
  for (const auto& r : requests()) n += r.op == op && (name.empty() || r.name == name);
  return n;
}

void CompanionRelay::forget() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

void CompanionRelay::acceptLoop() {
  while (!stopping_) {
    pollfd p{listener_.get(), POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    companion::UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client.valid()) continue;
    threads_.emplace_back(&CompanionRelay::serve, this, std::move(client));
  }
}

// Waits for the bytes in slices, so that the relay stops promptly.
bool CompanionRelay::readAll(int fd, char* data, std::size_t size) const {
  while (size > 0) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, 50);
    if (stopping_) return false;
    if (ready <= 0) continue;
    ssize_t n = ::recv(fd, data, size, 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// One exchange: the request frame and its body up, the reply frame and its body down.
void CompanionRelay::serve(companion::UniqueFd client) {
  auto frame = [&](int from, std::string& bytes, boost::json::object& json) {
    char header[4];
    if (!readAll(from, header, 4)) return false;
    std::string text(lengthOf(header), '\0');
    if (!readAll(from, text.data(), text.size())) return false;
    boost::system::error_code ec;
    auto parsed = boost::json::parse(text, ec);
    if (!ec && parsed.is_object()) json = parsed.as_object();
    std::string body(bodySize(json), '\0');
    if (!readAll(from, body.data(), body.size())) return false;
    bytes = std::string(header, 4) + text + body;
    return true;
  };
  std::string request;
  boost::json::object json;
  if (!frame(client.get(), request, json)) return;
  std::string op = textOf(json, "op");
  if (mode_ == Mode::refuseChanges && isChange(op)) return;
  companion::UniqueFd up(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  auto address = addressOf(upstream_);
  if (::connect(up.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return;
  if (!companion::writeAll(up.get(), request.data(), request.size())) return;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back({op, textOf(json, "name"), bodySize(json)});
  }
  std::string reply;
  boost::json::object answer;
  if (!frame(up.get(), reply, answer)) return;
  // Held until the mode changes (then delivered) or the mount goes away.
  auto held = [&] {
    return (mode_ == Mode::holdReplies && isChange(op)) ||
           (mode_ == Mode::holdFetches && op == "read");
  };
  while (held()) {
    char byte;
    pollfd p{client.get(), POLLIN, 0};
    if (stopping_ || (::poll(&p, 1, 50) > 0 && ::recv(client.get(), &byte, 1, MSG_PEEK) <= 0))
      return;
  }
  companion::writeAll(client.get(), reply.data(), reply.size());
}

}  // namespace QuorvelleDrive::testing

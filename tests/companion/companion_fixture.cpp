#include "companion/companion_fixture.h"

#include "companion/framing.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

namespace QuorvelleDrive::testing {

mode_t modeOf(const std::filesystem::path& path) {
  // A missing path reads as 07777, which no expected mode is.
  return static_cast<mode_t>(std::filesystem::symlink_status(path).permissions() &
                             std::filesystem::perms::mask);
}

RawConnection::RawConnection(const std::filesystem::path& socket)
    : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fd_.reset();
  // A companion that never answers fails the test rather than hanging it.
  timeval limit{30, 0};
  ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

bool RawConnection::send(std::string_view bytes) {
  return qc::writeAll(fd_.get(), bytes.data(), bytes.size());
}

void RawConnection::finishSending() {
  ::shutdown(fd_.get(), SHUT_WR);
}

std::optional<json::object> RawConnection::receive() {
  auto text = qc::readFrame(fd_.get());
  if (!text) return std::nullopt;
  return parseObject(*text);
}

std::string RawConnection::receiveRest() {
  std::string bytes;
  char chunk[1 << 16];
  for (ssize_t n; (n = ::read(fd_.get(), chunk, sizeof chunk)) > 0;)
    bytes.append(chunk, static_cast<std::size_t>(n));
  return bytes;
}

bool RawConnection::closedByPeer() {
  char byte;
  ssize_t n = ::recv(fd_.get(), &byte, 1, MSG_PEEK);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

std::string requestFrame(const json::object& request, std::string_view body) {
  return frame(boost::json::serialize(request), body);
}

json::object fileRequest(const std::string& parent, const std::string& name,
                         std::string_view bytes) {
  return {
      {"op", "create"}, {"parent", parent}, {"name", name}, {"dir", false}, {"size", bytes.size()}};
}

json::object writeRequest(const std::string& id, std::string_view bytes, const std::string& base) {
  return {{"op", "write"}, {"id", id}, {"size", bytes.size()}, {"base", base}};
}

std::string exchangeWord(const std::filesystem::path& socket, std::string_view bytes) {
  RawConnection connection(socket);
  if (!connection.send(bytes)) return "<send failed>";
  connection.finishSending();
  if (connection.closedByPeer()) return "<closed>";
  auto reply = connection.receive();
  if (!reply) return "<cut reply>";
  auto* error = reply->if_contains("error");
  return error && error->is_string() ? std::string(error->as_string()) : std::string();
}

void CompanionTest::start(qc::Options options) {
  options.store = store();
  options.socket = socket();
  last_ = options;
  companion_.emplace(options, [this](const std::string& line) {
    std::lock_guard lock(logMutex_);
    log_ += line + "\n";
  });
}

std::string CompanionTest::log() {
  std::lock_guard lock(logMutex_);
  return log_;
}

Reply CompanionTest::call(const json::object& request, std::string_view body) {
  auto bytes = std::as_bytes(std::span(body.data(), body.size()));
  return client_.call(request, bytes);
}

json::object CompanionTest::item(const std::string& id) {
  return call({{"op", "item"}, {"id", id}}).json.at("item").as_object();
}

std::string CompanionTest::createFile(const std::string& parent, const std::string& name,
                                      const std::string& bytes) {
  Reply reply = call(fileRequest(parent, name, bytes), bytes);
  return std::string(reply.json.at("item").at("id").as_string());
}

std::string CompanionTest::createDir(const std::string& parent, const std::string& name) {
  Reply reply = call({{"op", "create"}, {"parent", parent}, {"name", name}, {"dir", true}});
  return std::string(reply.json.at("item").at("id").as_string());
}

std::string CompanionTest::contents(const std::string& id) {
  Reply reply = call({{"op", "read"}, {"id", id}});
  if (!reply.body) return "<no body>";
  auto bytes = reply.body->bytes();
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::string CompanionTest::version(const std::string& id) {
  return std::string(item(id).at("version").as_string());
}

std::uint64_t CompanionTest::anchor() {
  return call({{"op", "anchor"}}).json.at("anchor").to_number<std::uint64_t>();
}

std::vector<std::string> CompanionTest::listed(const json::object& request, const char* key) {
  std::vector<std::string> out;
  Reply reply = call(request);
  for (auto& entry : reply.json.at("items").as_array()) out.emplace_back(entry.at(key).as_string());
  return out;
}

}  // namespace QuorvelleDrive::testing

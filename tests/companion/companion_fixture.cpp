#include "companion/companion_fixture.h"

#include "companion/framing.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace QuorvelleDrive::testing {

RawConnection::RawConnection(const std::filesystem::path& socket)
    : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) close();
}

RawConnection::~RawConnection() {
  close();
}

void RawConnection::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool RawConnection::send(std::string_view bytes) {
  return qc::writeAll(fd_, bytes.data(), bytes.size());
}

void RawConnection::finishSending() {
  ::shutdown(fd_, SHUT_WR);
}

std::optional<std::pair<json::object, std::string>> RawConnection::receive() {
  auto text = qc::readFrame(fd_);
  if (!text) return std::nullopt;
  auto reply = parseObject(*text);
  std::string body;
  if (auto* announced = reply.if_contains("size"); announced && announced->is_number()) {
    body.resize(announced->to_number<std::size_t>());
    if (!qc::readExact(fd_, body.data(), body.size())) return std::nullopt;
  }
  return std::make_pair(std::move(reply), std::move(body));
}

bool RawConnection::closedByPeer() {
  char byte;
  return ::read(fd_, &byte, 1) <= 0;
}

std::string requestFrame(const json::object& request, std::string_view body) {
  return frame(boost::json::serialize(request), body);
}

void CompanionTest::start(qc::Options options) {
  options.store = store();
  options.socket = socket();
  last_ = options;
  companion_.emplace(options);
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
  Reply reply = call({{"op", "create"},
                      {"parent", parent},
                      {"name", name},
                      {"dir", false},
                      {"size", bytes.size()}},
                     bytes);
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

std::vector<std::string> CompanionTest::names(const std::string& folder) {
  std::vector<std::string> out;
  Reply reply = call({{"op", "list"}, {"id", folder}});
  for (auto& entry : reply.json.at("items").as_array())
    out.emplace_back(entry.at("name").as_string());
  return out;
}

std::string CompanionTest::word(const json::object& request, std::string_view body) {
  RawConnection connection(socket());
  if (!connection.send(requestFrame(request, body))) return "<send failed>";
  auto reply = connection.receive();
  if (!reply) return "<closed>";
  auto* error = reply->first.if_contains("error");
  return error && error->is_string() ? std::string(error->as_string()) : std::string();
}

}  // namespace QuorvelleDrive::testing

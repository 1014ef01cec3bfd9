#include "support/fault_proxy.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace QuorvelleDrive::testing {

struct ProxiedRequest {
  std::string method;
  std::string target;
  bool authorised = false;
  std::string head;  // rewritten: one request, then the server closes
  std::size_t length = 0;
  std::string body;  // the part of the body that arrived with the head
};

namespace {

using companion::UniqueFd;

constexpr std::size_t kMaxHeader = 64 << 10;

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Waits for `fd` in slices, so that a proxy going away is noticed.
bool readable(int fd, const std::atomic<bool>& stopping) {
  pollfd entry{fd, POLLIN, 0};
  while (!stopping) {
    int ready = ::poll(&entry, 1, 100);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
  return false;
}

// Some bytes from `fd` appended to `into`; false at the end or on failure.
bool readSome(int fd, std::string& into, const std::atomic<bool>& stopping,
              std::size_t most = 1 << 16) {
  if (!readable(fd, stopping)) return false;
  char buffer[1 << 16];
  ssize_t got = ::recv(fd, buffer, std::min(most, sizeof buffer), 0);
  if (got <= 0) return false;
  into.append(buffer, static_cast<std::size_t>(got));
  return true;
}

bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

UniqueFd connectTo(int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  return fd;
}

// The request's head, with "Connection: close" in place of whatever the client asked for.
bool readRequest(int fd, ProxiedRequest& request, const std::atomic<bool>& stopping) {
  std::string bytes;
  std::size_t end;
  while ((end = bytes.find("\r\n\r\n")) == std::string::npos) {
    if (bytes.size() > kMaxHeader || !readSome(fd, bytes, stopping)) return false;
  }
  request.body = bytes.substr(end + 4);
  std::size_t lineEnd = bytes.find("\r\n");
  std::string first = bytes.substr(0, lineEnd);
  auto space = first.find(' ');
  request.method = first.substr(0, space);
  request.target = first.substr(space + 1, first.rfind(' ') - space - 1);
  request.head = first + "\r\n";
  for (std::size_t at = lineEnd + 2; at < end;) {
    std::size_t next = bytes.find("\r\n", at);
    std::string line = bytes.substr(at, next - at);
    at = next + 2;
    std::string name = lowered(line.substr(0, line.find(':')));
    if (name == "connection" || name == "keep-alive") continue;
    if (name == "content-length") request.length = std::stoull(line.substr(line.find(':') + 1));
    if (name == "authorization") request.authorised = true;
    request.head += line + "\r\n";
  }
  request.head += "Connection: close\r\n\r\n";
  return true;
}

}  // namespace

FaultProxy::FaultProxy(int serverPort) : serverPort_(serverPort) {
  listener_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener_.get(), 64) != 0 ||
      ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw std::runtime_error("the fault proxy cannot listen");
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

FaultProxy::~FaultProxy() {
  stopping_ = true;
  ::shutdown(listener_.get(), SHUT_RDWR);
  acceptor_.join();
  for (auto& worker : workers_) worker.join();
}

std::string FaultProxy::through(const std::string& url) const {
  auto scheme = url.find("://");
  auto slash = url.find('/', scheme + 3);
  return url.substr(0, scheme + 3) + "127.0.0.1:" + std::to_string(port_) + url.substr(slash);
}

void FaultProxy::add(Fault fault) {
  std::lock_guard lock(mutex_);
  faults_.push_back(std::move(fault));
}

void FaultProxy::clear() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

std::vector<std::string> FaultProxy::requests() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

std::size_t FaultProxy::count(const std::string& method) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count_if(
      seen_.begin(), seen_.end(), [&](auto& line) { return line.rfind(method + " ", 0) == 0; }));
}

void FaultProxy::acceptLoop() {
  while (!stopping_) {
    int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (stopping_ || (errno != EINTR && errno != ECONNABORTED)) return;
      continue;
    }
    std::lock_guard lock(mutex_);
    workers_.emplace_back([this, client = UniqueFd(fd)]() mutable { serve(std::move(client)); });
  }
}

bool FaultProxy::take(const ProxiedRequest& request, Fault& fault) {
  const std::string& method = request.method;
  const std::string& target = request.target;
  std::lock_guard lock(mutex_);
  seen_.push_back(method + " " + target);
  // A request without credentials only fetches the server's challenge: the server acts on none.
  if (!request.authorised) return false;
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (!it->method.empty() && it->method != method) continue;
    if (!it->path.empty() && target.find(it->path) == std::string::npos) continue;
    fault = *it;
    if (it->times > 0 && --it->times == 0) faults_.erase(it);
    ++applied_;
    return true;
  }
  return false;
}

void FaultProxy::serve(UniqueFd client) {
  ProxiedRequest request;
  if (!readRequest(client.get(), request, stopping_)) return;
  Fault fault;
  bool faulty = take(request, fault);
  if (faulty && fault.kind == Fault::answer) {
    while (request.body.size() < request.length &&
           readSome(client.get(), request.body, stopping_)) {
    }
    std::string head = "HTTP/1.1 " + std::to_string(fault.status) + " Injected\r\n";
    if (fault.status == 401) head += "WWW-Authenticate: Basic realm=\"drive\"\r\n";
    head +=
        "Content-Length: " + std::to_string(fault.body.size()) + "\r\nConnection: close\r\n\r\n";
    sendAll(client.get(), head + fault.body);
    return;
  }
  if (faulty && fault.kind == Fault::delay) std::this_thread::sleep_for(fault.wait);
  UniqueFd server = connectTo(serverPort_);
  if (!server.valid() || !sendAll(server.get(), request.head)) return;
  // The body: whole, cut short, or trickled.
  std::size_t limit = faulty && fault.kind == Fault::cutRequest ? fault.bytes : request.length;
  std::size_t step = faulty && fault.kind == Fault::slowUpload ? fault.bytes : 1 << 16;
  std::size_t sent = 0;
  std::string pending = std::move(request.body);
  while (sent < std::min(limit, request.length)) {
    if (pending.empty() && !readSome(client.get(), pending, stopping_, step)) return;
    std::size_t now = std::min({pending.size(), limit - sent, step});
    if (!sendAll(server.get(), std::string_view(pending).substr(0, now))) return;
    pending.erase(0, now);
    sent += now;
    if (faulty && fault.kind == Fault::slowUpload)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (sent < request.length) return;  // cut: both connections close here
  std::string answer;
  bool drop = faulty && fault.kind == Fault::dropAnswer;
  while (readSome(server.get(), answer, stopping_)) {
    if (drop) continue;
    if (!sendAll(client.get(), answer)) return;
    answer.clear();
  }
}

}  // namespace QuorvelleDrive::testing

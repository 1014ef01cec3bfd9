// HTTP over libcurl: one request in, status, headers and body out. Easy handles are pooled so
// that requests reuse their connections; credentials come from a netrc file only, in whichever
// scheme the server asks for (Basic or Digest); https is checked against the system's CA store
// or a CA file given.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace QuorvelleDrive::companion::remote {

struct HttpResponse;

// Takes a response's body as it arrives rather than in one piece.
class BodyStream {
 public:
  virtual ~BodyStream() = default;
  // Once the headers are in and the first bytes arrive: true to take the body here, false to
  // keep it in HttpResponse::body.
  virtual bool start(const HttpResponse& response) = 0;
  // False stops the transfer (status 0 then).
  virtual bool write(std::string_view bytes) = 0;
};

struct HttpRequest {
  std::string method = "GET";
  std::string url;
  std::vector<std::string> headers;  // "Name: value"
  std::string body;                  // sent when no file is given
  int bodyFd = -1;                   // a file to send from its start instead, `bodySize` bytes
  std::uint64_t bodySize = 0;
  // Nonzero: the upload is broken off after this many bytes, as a client that dies would (the
  // probe's test of what the server does with a cut body).
  std::uint64_t cutAfter = 0;
  BodyStream* stream = nullptr;  // where the answer's body may go instead of into memory
};

struct HttpResponse {
  long status = 0;  // 0: no answer at all (unreachable, time-out, cut off)
  std::string error;
  bool stoppedHere = false;                    // status 0 because this side stopped the transfer
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string header(const std::string& name) const {
    auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
  }
  bool ok() const { return status >= 200 && status < 300; }
};

class HttpClient {
 public:
  // An empty `netrc` sends no credentials; an empty `caFile` trusts the system's CA store.
  explicit HttpClient(std::filesystem::path netrc, std::filesystem::path caFile = {});
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  HttpResponse perform(const HttpRequest& request);
  // Requests sent so far (for the poll's cost figures).
  std::uint64_t requests() const;

 private:
  struct Handle;
  HttpResponse attempt(const HttpRequest& request, long scheme, long& offered);
  std::unique_ptr<Handle> take();
  void giveBack(std::unique_ptr<Handle> handle);

  std::filesystem::path netrc_;
  std::filesystem::path caFile_;
  // The scheme the server asked for once known (then sent at once, with no 401 round trip).
  std::atomic<long> authScheme_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Handle>> idle_;
  std::uint64_t requests_ = 0;
};

}  // namespace QuorvelleDrive::companion::remote

// The WebDAV requests the drive makes, on paths relative to the collection it was given
// ("" is the collection itself, "a/b.txt" a file in folder a). Answers that are failures become
// Refusals with the protocol's words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "companion/remote/http_client.h"

namespace QuorvelleDrive::companion::remote {

struct Resource {
  std::string path;  // relative, decoded, no trailing slash
  bool dir = false;
  std::string etag;
  std::uint64_t size = 0;
  double mtime = 0;
};

// "W/\"x\"" and "\"x\"" name the same contents; only a strong one may go into If-Match.
bool isWeak(const std::string& etag);
std::string strongPart(const std::string& etag);

// The word for a failed answer: unreachable/time-out "offline", 5xx and 423 "busy", 401/403
// "access", 404/409 "notFound", 507 "noSpace", 413 "tooBig"; anything else "io".
const char* wordForStatus(const HttpResponse& response);
[[noreturn]] void refuseStatus(const HttpResponse& response);

class Dav {
 public:
  // `url` is an http:// or https:// collection; throws std::invalid_argument otherwise.
  Dav(std::string url, std::filesystem::path netrc);

  const std::string& url() const { return base_; }
  std::string urlOf(const std::string& path, bool dir) const;

  // PROPFIND with Depth 0, 1 or "infinity". A failure status comes back as such (nothing parsed).
  struct Listing {
    HttpResponse response;
    std::vector<Resource> resources;
  };
  Listing propfind(const std::string& path, bool dir, const char* depth);
  // One resource's properties; none when it does not exist. Refuses on other failures.
  std::optional<Resource> stat(const std::string& path, bool dir);

  // A successful answer's body goes to `stream` where it takes it.
  HttpResponse get(const std::string& path, const std::string& ifMatch,
                   BodyStream* stream = nullptr);
  HttpResponse put(const std::string& path, int fd, std::uint64_t size,
                   std::vector<std::string> headers);
  HttpResponse mkcol(const std::string& path);
  HttpResponse move(const std::string& from, const std::string& to, bool dir);
  HttpResponse remove(const std::string& path, bool dir, std::vector<std::string> headers = {});
  // An exclusive write lock: its token, or the failed answer.
  HttpResponse lock(const std::string& path, std::string& token);
  void unlock(const std::string& path, const std::string& token);

  HttpClient& client() { return client_; }

 private:
  std::optional<std::string> relative(const std::string& href) const;

  std::string base_;      // ends in '/'
  std::string basePath_;  // its path, decoded, ends in '/'
  HttpClient client_;
};

// Percent-decoding; none when the result would hold NUL.
std::optional<std::string> percentDecoded(const std::string& text);

}  // namespace QuorvelleDrive::companion::remote

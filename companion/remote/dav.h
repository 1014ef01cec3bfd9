// The WebDAV requests the drive makes, on paths relative to the collection it was given
// ("" is the collection itself, "a/b.txt" a file in folder a). Answers that are failures become
// Refusals with the protocol's words.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
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
  std::optional<std::uint64_t> quotaAvailable;  // RFC 4331, on the root when asked for
  std::optional<std::uint64_t> quotaUsed;
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
  using Log = std::function<void(const std::string& line)>;
  using Observer = std::function<void(const HttpRequest&, const HttpResponse&)>;

  // `url` is an http:// or https:// collection; throws std::invalid_argument otherwise. `log`
  // hears of refused credentials (once until they work again) and of bodies too large;
  // `observe` of every answer, and of each request that got none.
  Dav(std::string url, std::filesystem::path netrc, std::filesystem::path caFile = {}, Log log = {},
      Observer observe = {});

  const std::string& url() const { return base_; }
  std::string urlOf(const std::string& path, bool dir) const;

  // PROPFIND with Depth 0, 1 or "infinity"; `quota` also asks for the RFC 4331 properties. A
  // failure status comes back as such (nothing parsed); a 207 that cannot be read throws.
  struct Listing {
    HttpResponse response;
    std::vector<Resource> resources;
  };
  Listing propfind(const std::string& path, bool dir, const char* depth, bool quota = false);
  // One resource's properties; none when it does not exist. Refuses on other failures.
  std::optional<Resource> stat(const std::string& path, bool dir);

  // A successful answer's body goes to `stream` where it takes it.
  HttpResponse get(const std::string& path, const std::string& ifMatch,
                   BodyStream* stream = nullptr);
  HttpResponse put(const std::string& path, int fd, std::uint64_t size,
                   std::vector<std::string> headers);
  HttpResponse head(const std::string& path);
  HttpResponse mkcol(const std::string& path);
  // A 207 answer to MOVE or DELETE comes back as the first failing status inside it.
  HttpResponse move(const std::string& from, const std::string& to, bool dir,
                    bool overwrite = false, std::vector<std::string> headers = {});
  HttpResponse remove(const std::string& path, bool dir, std::vector<std::string> headers = {});
  // An exclusive write lock: its token, or the failed answer.
  HttpResponse lock(const std::string& path, std::string& token);
  void unlock(const std::string& path, const std::string& token);

  // Any request, with its answer noted for the log.
  HttpResponse perform(const HttpRequest& request);
  HttpClient& client() { return client_; }
  const std::filesystem::path& netrc() const { return netrc_; }

 private:
  std::optional<std::string> relative(const std::string& href) const;
  void note(const HttpRequest& request, const HttpResponse& response);

  std::string base_;      // ends in '/'
  std::string basePath_;  // its path, decoded, ends in '/'
  std::filesystem::path netrc_;
  Log log_;
  Observer observe_;
  std::atomic<bool> refusedSaid_{false};
  std::atomic<std::uint64_t> largestTaken_{0};
  HttpClient client_;
};

// The If header that names `token` as held on `url` (a lock on the resource a request changes
// other than its own, such as a MOVE's destination).
std::string taggedLock(const std::string& url, const std::string& token);

// Percent-decoding; none when the result would hold NUL.
std::optional<std::string> percentDecoded(const std::string& text);

}  // namespace QuorvelleDrive::companion::remote

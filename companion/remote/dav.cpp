#include "companion/remote/dav.h"

#include <stdexcept>

#include "companion/refusal.h"
#include "companion/remote/multistatus.h"

namespace QuorvelleDrive::companion::remote {

namespace {

constexpr const char* kPropfindBody =
    R"(<?xml version="1.0" encoding="utf-8"?>)"
    R"(<D:propfind xmlns:D="DAV:"><D:prop><D:resourcetype/><D:getetag/>)"
    R"(<D:getcontentlength/><D:getlastmodified/></D:prop></D:propfind>)";

constexpr const char* kPropfindQuotaBody =
    R"(<?xml version="1.0" encoding="utf-8"?>)"
    R"(<D:propfind xmlns:D="DAV:"><D:prop><D:resourcetype/><D:getetag/>)"
    R"(<D:getcontentlength/><D:getlastmodified/><D:quota-available-bytes/>)"
    R"(<D:quota-used-bytes/></D:prop></D:propfind>)";

constexpr const char* kLockBody =
    R"(<?xml version="1.0" encoding="utf-8"?>)"
    R"(<D:lockinfo xmlns:D="DAV:"><D:lockscope><D:exclusive/></D:lockscope>)"
    R"(<D:locktype><D:write/></D:locktype><D:owner>quorvelle-companion</D:owner></D:lockinfo>)";

bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

std::string percentEncoded(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if (unreserved(c) || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The path of a URL ("http://host:1/a/b" → "/a/b"); a path stays as it is.
std::string pathOfUrl(const std::string& url) {
  auto scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  auto slash = url.find('/', scheme + 3);
  return slash == std::string::npos ? "/" : url.substr(slash);
}

}  // namespace

std::optional<std::string> percentDecoded(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
        hexValue(text[i + 2]) >= 0) {
      c = static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    }
    if (c == '\0') return std::nullopt;
    out += c;
  }
  return out;
}

bool isWeak(const std::string& etag) {
  return etag.rfind("W/", 0) == 0;
}

std::string strongPart(const std::string& etag) {
  return isWeak(etag) ? etag.substr(2) : etag;
}

const char* wordForStatus(const HttpResponse& response) {
  long status = response.status;
  if (status == 0) return "offline";
  if (status == 401 || status == 403) return Word::access;
  if (status == 404 || status == 409) return Word::notFound;
  if (status == 507) return Word::noSpace;
  if (status == 413) return Word::tooBig;
  if (status == 414) return Word::badName;
  if (status == 423 || status >= 500) return "busy";
  return Word::io;
}

void refuseStatus(const HttpResponse& response) {
  throw Refusal(wordForStatus(response));
}

Dav::Dav(std::string url, std::filesystem::path netrc, std::filesystem::path caFile, Log log,
         Observer observe)
    : base_(std::move(url)),
      netrc_(netrc),
      log_(std::move(log)),
      observe_(std::move(observe)),
      client_(netrc, caFile) {
  if (base_.rfind("http://", 0) != 0 && base_.rfind("https://", 0) != 0)
    throw std::invalid_argument("the remote must be an http:// or https:// URL");
  if (base_.find_first_of("?# ") != std::string::npos)
    throw std::invalid_argument("the remote URL must not hold a query, fragment or blank");
  if (base_.back() != '/') base_ += '/';
  auto path = percentDecoded(pathOfUrl(base_));
  if (!path) throw std::invalid_argument("the remote URL's path is not valid");
  basePath_ = *path;
  // libxml2 sets itself up on first use unless told before: not safe from several threads.
  initialiseXmlParser();
}

std::string Dav::urlOf(const std::string& path, bool dir) const {
  std::string url = base_ + percentEncoded(path);
  if (dir && !path.empty()) url += '/';
  return url;
}

std::optional<std::string> Dav::relative(const std::string& href) const {
  auto path = percentDecoded(pathOfUrl(href));
  if (!path) return std::nullopt;
  std::string decoded = *path;
  if (decoded + "/" == basePath_) return std::string();
  if (decoded.compare(0, basePath_.size(), basePath_) != 0) return std::nullopt;
  decoded.erase(0, basePath_.size());
  while (!decoded.empty() && decoded.back() == '/') decoded.pop_back();
  return decoded;
}

HttpResponse Dav::perform(const HttpRequest& request) {
  auto response = client_.perform(request);
  note(request, response);
  return response;
}

// Refused credentials are said once until they work again, with the file they came from (never
// what it holds); a body too large is said with what the server took before.
void Dav::note(const HttpRequest& request, const HttpResponse& response) {
  if (observe_) observe_(request, response);
  if (response.ok()) {
    refusedSaid_ = false;
    if (request.method == "PUT" && request.bodySize > largestTaken_)
      largestTaken_ = request.bodySize;
  }
  if (!log_) return;
  if (response.status == 401 && !refusedSaid_.exchange(true))
    log_("the server at " + base_ + " refused the credentials" +
         (netrc_.empty() ? std::string(" (no --netrc file was given)")
                         : " from the netrc file " + netrc_.string()) +
         " (401 Unauthorized); changes wait until they are accepted");
  if (response.status == 413)
    log_("the server at " + base_ + " refused a body of " + std::to_string(request.bodySize) +
         " bytes as too large (413): its limit is below that; the largest it took here was " +
         std::to_string(largestTaken_.load()) + " bytes");
}

Dav::Listing Dav::propfind(const std::string& path, bool dir, const char* depth, bool quota) {
  HttpRequest request{"PROPFIND",
                      urlOf(path, dir),
                      {std::string("Depth: ") + depth, "Content-Type: application/xml"},
                      quota ? kPropfindQuotaBody : kPropfindBody};
  Listing listing{perform(request), {}};
  if (listing.response.status != 207) return listing;
  for (auto& resource : parseMultistatus(listing.response.body)) {
    auto relativePath = relative(resource.href);
    if (!relativePath) continue;
    listing.resources.push_back({*relativePath, resource.dir, resource.etag, resource.size,
                                 resource.mtime, resource.quotaAvailable, resource.quotaUsed});
  }
  listing.response.body.clear();
  return listing;
}

std::optional<Resource> Dav::stat(const std::string& path, bool dir) {
  auto listing = propfind(path, dir, "0");
  if (listing.response.status == 404) return std::nullopt;
  if (listing.response.status != 207) refuseStatus(listing.response);
  for (auto& resource : listing.resources)
    if (resource.path == path) return resource;
  return std::nullopt;
}

HttpResponse Dav::get(const std::string& path, const std::string& ifMatch, BodyStream* stream) {
  HttpRequest request{"GET", urlOf(path, false), {}, {}};
  request.stream = stream;
  if (!ifMatch.empty()) request.headers.push_back("If-Match: " + ifMatch);
  return perform(request);
}

HttpResponse Dav::head(const std::string& path) {
  return perform({"HEAD", urlOf(path, false), {}, {}});
}

HttpResponse Dav::put(const std::string& path, int fd, std::uint64_t size,
                      std::vector<std::string> headers) {
  headers.push_back("Content-Type: application/octet-stream");
  HttpRequest request{"PUT", urlOf(path, false), std::move(headers), {}, fd, size};
  return perform(request);
}

HttpResponse Dav::mkcol(const std::string& path) {
  return perform({"MKCOL", urlOf(path, true), {}, {}});
}

namespace {

// lighttpd answers a refused folder MOVE with 207 and the 412 inside: the inner status is the
// answer.
HttpResponse settled(HttpResponse response) {
  if (response.status != 207) return response;
  if (auto failed = failedStatus(response.body))
    response.status = *failed;
  else
    response.status = 204;
  return response;
}

}  // namespace

HttpResponse Dav::move(const std::string& from, const std::string& to, bool dir, bool overwrite,
                       std::vector<std::string> headers) {
  headers.push_back("Destination: " + urlOf(to, dir));
  headers.push_back(overwrite ? "Overwrite: T" : "Overwrite: F");
  return settled(perform({"MOVE", urlOf(from, dir), std::move(headers), {}}));
}

HttpResponse Dav::remove(const std::string& path, bool dir, std::vector<std::string> headers) {
  return settled(perform({"DELETE", urlOf(path, dir), std::move(headers), {}}));
}

std::string taggedLock(const std::string& url, const std::string& token) {
  return "If: <" + url + "> (<" + token + ">)";
}

HttpResponse Dav::lock(const std::string& path, std::string& token) {
  HttpRequest request{"LOCK",
                      urlOf(path, false),
                      {"Depth: 0", "Timeout: Second-60", "Content-Type: application/xml"},
                      kLockBody};
  auto response = perform(request);
  token = response.header("lock-token");
  if (token.size() >= 2 && token.front() == '<' && token.back() == '>')
    token = token.substr(1, token.size() - 2);
  return response;
}

void Dav::unlock(const std::string& path, const std::string& token) {
  perform({"UNLOCK", urlOf(path, false), {"Lock-Token: <" + token + ">"}, {}});
}

}  // namespace QuorvelleDrive::companion::remote

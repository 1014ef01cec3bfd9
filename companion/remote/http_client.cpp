#include "companion/remote/http_client.h"

#include <curl/curl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <stdexcept>

namespace QuorvelleDrive::companion::remote {

namespace {

constexpr long kConnectTimeoutMs = 5000;
// A transfer that moves nothing for this long is given up; large files may take as long as
// they need while bytes flow.
constexpr long kStalledSeconds = 30;
constexpr std::size_t kMaxIdleHandles = 16;
constexpr long kTransferBuffer = 1 << 20;

struct FileBody {
  int fd;
  std::uint64_t offset = 0;
  std::uint64_t size;
  std::uint64_t cutAfter = 0;
};

std::size_t readBody(char* buffer, std::size_t size, std::size_t count, void* user) {
  auto* body = static_cast<FileBody*>(user);
  if (body->cutAfter && body->offset >= body->cutAfter) return CURL_READFUNC_ABORT;
  std::uint64_t left = body->size - body->offset;
  if (body->cutAfter) left = std::min(left, body->cutAfter - body->offset);
  std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size * count, left));
  if (want == 0) return 0;
  ssize_t n = ::pread(body->fd, buffer, want, static_cast<off_t>(body->offset));
  if (n < 0) return CURL_READFUNC_ABORT;
  body->offset += static_cast<std::uint64_t>(n);
  return static_cast<std::size_t>(n);
}

// An upload sent again (after a 401 that named the scheme) starts over from the file.
int seekBody(void* user, curl_off_t offset, int origin) {
  auto* body = static_cast<FileBody*>(user);
  if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
  body->offset = static_cast<std::uint64_t>(offset);
  return CURL_SEEKFUNC_OK;
}

// Of the schemes a server offered, the one to keep using.
long chosenScheme(long offered) {
  if (offered & CURLAUTH_DIGEST) return CURLAUTH_DIGEST;
  if (offered & CURLAUTH_BASIC) return CURLAUTH_BASIC;
  return CURLAUTH_ANY;
}

std::string trimmed(std::string text) {
  auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  text.erase(text.begin(), std::find_if_not(text.begin(), text.end(), blank));
  text.erase(std::find_if_not(text.rbegin(), text.rend(), blank).base(), text.end());
  return text;
}

// A large body is touched page by page as it arrives; in 2 MiB pages that is 512 times fewer
// faults, which on a virtual machine cost more than the copy itself.
void adviseHugePages(std::string& body) {
  constexpr std::uintptr_t kHuge = 2u << 20;
  if (body.capacity() < 4 * kHuge) return;
  auto begin = reinterpret_cast<std::uintptr_t>(body.data());
  std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  std::uintptr_t last = (begin + body.capacity()) & ~(kHuge - 1);
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// One transfer's answer as it arrives.
struct Arrival {
  CURL* curl;
  HttpResponse& response;
  BodyStream* stream;
  bool started = false;
  bool streaming = false;
};

// Keeps each header of the final response.
std::size_t writeHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* response = &static_cast<Arrival*>(user)->response;
  std::string line(data, size * count);
  if (line.rfind("HTTP/", 0) == 0) response->headers.clear();
  auto colon = line.find(':');
  if (colon == std::string::npos) return size * count;
  std::string name = line.substr(0, colon);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  response->headers[name] = trimmed(line.substr(colon + 1));
  return size * count;
}

// A body kept in memory is sized from Content-Length at once, so that a large download is never
// copied while it grows.
bool reserveBody(HttpResponse& response) {
  std::string value = response.header("content-length");
  char* end = nullptr;
  unsigned long long length = std::strtoull(value.c_str(), &end, 10);
  if (value.empty() || !end || *end != '\0' || length >= (1ULL << 40)) return true;
  try {
    response.body.reserve(static_cast<std::size_t>(length));
  } catch (const std::exception&) {
    return false;  // cannot hold it: fail the transfer rather than the process
  }
  adviseHugePages(response.body);
  return true;
}

// No exception may unwind through libcurl: any stops the transfer instead.
std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* user) try {
  auto* arrival = static_cast<Arrival*>(user);
  std::size_t bytes = size * count;
  if (!arrival->started) {
    arrival->started = true;
    curl_easy_getinfo(arrival->curl, CURLINFO_RESPONSE_CODE, &arrival->response.status);
    arrival->streaming = arrival->stream && arrival->stream->start(arrival->response);
    if (!arrival->streaming && !reserveBody(arrival->response)) return 0;
  }
  if (arrival->streaming) return arrival->stream->write({data, bytes}) ? bytes : 0;
  arrival->response.body.append(data, bytes);
  return bytes;
} catch (const std::exception&) {
  return 0;
}

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
  void add(const std::string& line) {
    curl_slist* grown = curl_slist_append(list, line.c_str());
    if (!grown) throw std::bad_alloc();
    list = grown;
  }
};

}  // namespace

struct HttpClient::Handle {
  CURL* curl = curl_easy_init();
  ~Handle() { curl_easy_cleanup(curl); }
};

HttpClient::HttpClient(std::filesystem::path netrc, std::filesystem::path caFile)
    : netrc_(std::move(netrc)), caFile_(std::move(caFile)), authScheme_(CURLAUTH_ANY) {
  // Thread-safe since curl 7.84; every client calls it once, the library counts.
  curl_global_init(CURL_GLOBAL_DEFAULT);
}

HttpClient::~HttpClient() {
  idle_.clear();
  curl_global_cleanup();
}

std::unique_ptr<HttpClient::Handle> HttpClient::take() {
  {
    std::lock_guard lock(mutex_);
    ++requests_;
    if (!idle_.empty()) {
      auto handle = std::move(idle_.back());
      idle_.pop_back();
      return handle;
    }
  }
  auto handle = std::make_unique<Handle>();
  if (!handle->curl) throw std::runtime_error("cannot make an HTTP handle");
  return handle;
}

void HttpClient::giveBack(std::unique_ptr<Handle> handle) {
  std::lock_guard lock(mutex_);
  if (idle_.size() < kMaxIdleHandles) idle_.push_back(std::move(handle));
}

std::uint64_t HttpClient::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

// A server that asks for another scheme than the one learnt (a proxy in front changed, say) is
// answered once more in its own.
HttpResponse HttpClient::perform(const HttpRequest& request) {
  long scheme = authScheme_.load();
  long offered = 0;
  auto response = attempt(request, scheme, offered);
  if (response.status == 401 && !netrc_.empty() && offered && !(offered & scheme)) {
    authScheme_ = chosenScheme(offered);
    response = attempt(request, chosenScheme(offered), offered);
  }
  return response;
}

HttpResponse HttpClient::attempt(const HttpRequest& request, long scheme, long& offered) {
  auto handle = take();
  CURL* curl = handle->curl;
  curl_easy_reset(curl);
  HttpResponse response;
  HeaderList headers;
  headers.add("Expect:");  // no 100-continue round trip before each upload
  for (const auto& line : request.headers) headers.add(line);
  FileBody file{request.bodyFd, 0, request.bodySize, request.cutAfter};

  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kStalledSeconds);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  // Contents move in large pieces: fewer reads, writes and wake-ups per file.
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kTransferBuffer);
  curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, kTransferBuffer);
  if (!netrc_.empty()) {
    curl_easy_setopt(curl, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_OPTIONAL));
    curl_easy_setopt(curl, CURLOPT_NETRC_FILE, netrc_.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, scheme);
  }
  if (!caFile_.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, caFile_.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.list);
  Arrival arrival{curl, response, request.stream};
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &arrival);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, writeHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &arrival);
  if (request.bodyFd >= 0) {
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, readBody);
    curl_easy_setopt(curl, CURLOPT_READDATA, &file);
    curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, seekBody);
    curl_easy_setopt(curl, CURLOPT_SEEKDATA, &file);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.bodySize));
  } else if (!request.body.empty() || request.method == "PUT") {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
  }
  if (request.method == "HEAD") curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
  if (request.method != "GET" && !(request.method == "PUT" && request.bodyFd >= 0))
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());

  CURLcode code = curl_easy_perform(curl);
  offered = 0;
  if (curl_easy_getinfo(curl, CURLINFO_HTTPAUTH_AVAIL, &offered) == CURLE_OK && offered)
    authScheme_ = chosenScheme(offered);
  if (code == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  } else {
    response.status = 0;
    response.error = curl_easy_strerror(code);
    response.stoppedHere =
        code == CURLE_WRITE_ERROR || code == CURLE_READ_ERROR || code == CURLE_ABORTED_BY_CALLBACK;
    response.body.clear();
  }
  giveBack(std::move(handle));
  return response;
}

}  // namespace QuorvelleDrive::companion::remote

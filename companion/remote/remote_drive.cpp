#include "companion/remote/remote_drive.h"

#include <sys/stat.h>

#include <curl/curl.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iostream>

#include "companion/refusal.h"
#include "companion/remote/drive_support.h"
#include "companion/remote/state_dir.h"
#include "platform/json.h"

namespace QuorvelleDrive::companion::remote {

namespace {

constexpr int kPollRetries = 3;
// A probe that failed is tried again no sooner than this, doubling up to the most.
constexpr std::chrono::seconds kFirstProbeBackoff{5};
constexpr std::chrono::seconds kMostProbeBackoff{600};

std::function<void(const std::string&)> orStderr(std::function<void(const std::string&)> log) {
  if (log) return log;
  return [](const std::string& line) { std::cerr << "quorvelle-companion: " << line << std::endl; };
}

}  // namespace

RemoteDrive::RemoteDrive(const RemoteOptions& options, bool readOnly)
    : readOnly_(readOnly),
      log_(orStderr(options.log)),
      state_(options.state.empty() ? defaultStateDirectory(options.url) : options.state),
      lock_(holdStateDirectory(state_)),
      staging_(state_ / "incoming"),
      dav_(options.url, options.netrc, options.caFile, log_,
           [this](const HttpRequest& request, const HttpResponse& response) {
             server_.noteAnswer(request, response);
           }),
      server_(options.serverFile, dav_.url()),
      index_(state_ / "index.db", dav_.url()),
      probeBackoff_(kFirstProbeBackoff),
      pollInterval_(options.poll) {
  warnIfReadable(options.netrc);
  // The check waits for the server; the companion serves from the index meanwhile.
  poller_ = std::thread([this] {
    checkCredentials();
    if (pollInterval_.count() > 0) pollLoop();
  });
}

RemoteDrive::~RemoteDrive() {
  {
    std::lock_guard lock(pollMutex_);
    stopping_ = true;
  }
  pollWake_.notify_all();
  if (poller_.joinable()) poller_.join();
}

void RemoteDrive::say(const std::string& line) const {
  log_(line);
}

void RemoteDrive::warnIfReadable(const std::filesystem::path& netrc) const {
  struct stat st {};
  if (netrc.empty() || ::stat(netrc.c_str(), &st) != 0 || !(st.st_mode & 077)) return;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  say("warning: the netrc file " + netrc.string() + " may be read by others (mode " + mode +
      "); make it private with chmod 600");
}

// One PROPFIND of the root, so that a wrong password or a server that is not there is said at
// start rather than found by the first change. Later answers keep what server.json says of the
// credentials up to date.
void RemoteDrive::checkCredentials() {
  HttpResponse answer;
  try {
    answer = dav_.propfind("", true, "0").response;
  } catch (const std::exception&) {
    answer.status = 207;  // it answered; what it said is the crawl's concern
  }
  if (answer.status == 0) {
    server_.setCredentials("not checked: the server does not answer");
    say("the server at " + dav_.url() + " does not answer (" + answer.error +
        "); serving from the index until it does");
  } else if (answer.status != 207 && answer.status != 401 && answer.status != 403) {
    server_.setCredentials("not checked: HTTP " + std::to_string(answer.status));
    say("the server at " + dav_.url() + " answers a PROPFIND of the drive with HTTP " +
        std::to_string(answer.status));
  }
}

// Probed once it works; after a failure the least is assumed and the probe waits, longer each
// time, so that a server whose answers cannot be read is not probed on every request.
Abilities RemoteDrive::abilities() {
  std::lock_guard lock(probeMutex_);
  if (abilities_) return *abilities_;
  if (readOnly_ || Clock::now() < nextProbe_) return leastAbilities();
  try {
    Abilities found = probeServer(dav_);
    abilities_ = found;
    say("the server at " + dav_.url() + ":");
    for (auto& line : describe(found)) say("  " + line);
    server_.setAbilities(describe(found));
    return found;
  } catch (const std::exception& error) {
    nextProbe_ = Clock::now() + probeBackoff_;
    say("could not learn what the server at " + dav_.url() + " does (" + error.what() +
        "); assuming the least (every write through a temporary name, under a lock where it "
        "has them) and trying again in " +
        std::to_string(probeBackoff_.count()) + " s");
    probeBackoff_ = std::min(probeBackoff_ * 2, kMostProbeBackoff);
    return leastAbilities();
  }
}

Abilities RemoteDrive::probedAbilities() {
  std::lock_guard lock(probeMutex_);
  return abilities_.value_or(leastAbilities());
}

std::optional<Quota> RemoteDrive::quota() const {
  std::lock_guard lock(quotaMutex_);
  return quota_;
}

void RemoteDrive::pollLoop() {
  std::unique_lock lock(pollMutex_);
  while (!stopping_) {
    lock.unlock();
    // A crawl that raced with our own changes is thrown away and tried again at once.
    for (int attempt = 0; attempt < kPollRetries && !poll(); ++attempt) {
    }
    server_.setNextLook(
        std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() + pollInterval_));
    lock.lock();
    pollWake_.wait_for(lock, pollInterval_, [this] { return stopping_; });
  }
}

// ---- lookups ----

Node RemoteDrive::existing(const std::string& id) const {
  const Node* node = index_.find(id);
  if (!node) throw Refusal(Word::notFound);
  return *node;
}

Node RemoteDrive::current(const std::string& id) const {
  std::lock_guard lock(mutex_);
  return existing(id);
}

std::string RemoteDrive::pathOf(const std::string& id) const {
  auto path = index_.pathOf(id);
  if (!path) throw Refusal(Word::notFound);
  return *path;
}

ItemInfo RemoteDrive::info(const Node& node) const {
  double mtime = node.id == kRootId && node.mtime == 0 ? undatedRootTime() : node.mtime;
  return {Row{node.id, node.parent, node.name, node.dir, node.version, 0, ""}, mtime,
          node.dir ? 0 : node.size};
}

// A root the server has given no date yet (none read, or a server that dates no collection):
// that of its newest entry, else the companion's start; never 0, which hosts show as 1970.
double RemoteDrive::undatedRootTime() const {
  double newest = 0;
  for (const auto& node : index_.all()) newest = std::max(newest, node.mtime);
  return newest > 0 ? newest : started_;
}

std::pair<Node, std::string> RemoteDrive::fileAndPath(const std::string& id) const {
  std::lock_guard lock(mutex_);
  Node node = existing(id);
  if (node.dir) throw Refusal(Word::isDir);
  return {node, pathOf(id)};
}

void RemoteDrive::requireWritable() const {
  if (readOnly_) throw Refusal(Word::access);
}

ItemInfo RemoteDrive::item(const std::string& id) {
  std::lock_guard lock(mutex_);
  return info(existing(id));
}

std::vector<ItemInfo> RemoteDrive::all() {
  std::lock_guard lock(mutex_);
  std::vector<ItemInfo> items;
  for (auto& node : index_.all())
    if (node.id != kRootId) items.push_back(info(node));
  return items;
}

std::uint64_t RemoteDrive::anchor() {
  std::lock_guard lock(mutex_);
  return index_.anchor();
}

std::vector<ItemInfo> RemoteDrive::list(const std::string& id) {
  std::string path;
  {
    std::lock_guard lock(mutex_);
    Node node = existing(id);
    if (!node.dir) throw Refusal(Word::notDir);
    if (!node.listed) path = pathOf(id);
    if (node.listed) {
      std::vector<ItemInfo> items;
      for (auto& child : index_.children(id)) items.push_back(info(child));
      return items;
    }
  }
  // Not crawled yet: the server is asked at once.
  bool dotNames = looksUpDotNames(probedAbilities());
  auto listing = dav_.propfind(path, true, "1");
  if (listing.response.status != 207) refuseStatus(listing.response);
  std::lock_guard lock(mutex_);
  if (!index_.find(id) || index_.pathOf(id) != path) throw Refusal(kBusy);
  ++generation_;
  RemoteIndex::Transaction transaction(index_);
  if (mergeFolder(id, listing.resources, dotNames)) index_.raiseAnchor();
  transaction.commit();
  std::vector<ItemInfo> items;
  for (auto& child : index_.children(id)) items.push_back(info(child));
  return items;
}

// ---- reading ----

namespace {

std::optional<std::uint64_t> contentLength(const HttpResponse& response) {
  std::string value = response.header("content-length");
  std::uint64_t length = 0;
  auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
  if (value.empty() || error != std::errc() || end != value.data() + value.size())
    return std::nullopt;
  return length;
}

// Whether a successful GET's headers say the file is no longer the version `node` records: by
// ETag where both have one, else by length and date where the server sends them.
bool movedFrom(const Node& node, const HttpResponse& response) {
  if (!response.ok()) return false;
  std::string got = response.header("etag");
  if (!got.empty() && !node.etag.empty()) return strongPart(got) != strongPart(node.etag);
  if (auto length = contentLength(response); length && *length != node.size) return true;
  double dated = 0;
  if (std::string date = response.header("last-modified"); !date.empty() && node.mtime != 0) {
    dated = static_cast<double>(::curl_getdate(date.c_str(), nullptr));
    return dated > 0 && dated != node.mtime;
  }
  return false;
}

// A GET's body passed on to the client as it arrives, once the headers say it is the version
// asked for and how long it is; otherwise it is left to the caller (an error's body) or dropped
// unread (a version that moved).
class ContentsStream : public BodyStream {
 public:
  ContentsStream(const Node& node, ContentsSink& sink) : node_(node), sink_(sink) {}

  bool start(const HttpResponse& response) override {
    if (response.status != 200) return false;
    moved_ = movedFrom(node_, response);
    if (moved_) return true;
    auto length = contentLength(response);
    if (!length) return false;  // a size only known at the end: held whole first
    size_ = *length;
    begun_ = true;
    try {
      sink_.begin(size_);
    } catch (const std::exception&) {
      failed_ = true;  // nothing is thrown through libcurl: the transfer stops instead
    }
    return true;
  }
  bool write(std::string_view bytes) override {
    if (!begun_ || failed_ || bytes.size() > size_ - sent_) return false;
    sent_ += bytes.size();
    return sink_.write(bytes);
  }
  bool moved() const { return moved_; }
  bool begun() const { return begun_; }
  bool complete() const { return begun_ && sent_ == size_; }

 private:
  const Node& node_;
  ContentsSink& sink_;
  bool moved_ = false;
  bool begun_ = false;
  bool failed_ = false;
  std::uint64_t size_ = 0;
  std::uint64_t sent_ = 0;
};

}  // namespace

void RemoteDrive::read(const std::string& id, ContentsSink& sink) {
  auto [node, path] = fileAndPath(id);
  bool strong = !node.etag.empty() && !isWeak(node.etag);
  ContentsStream stream(node, sink);
  auto response = dav_.get(path, strong ? node.etag : "", &stream);
  if (stream.begun()) {
    // The reply is on its way: a transfer cut short can only end the connection.
    if (!response.ok() || !stream.complete()) throw Refusal(kOffline);
    return;
  }
  if (stream.moved() || response.status == 412 || movedFrom(node, response) ||
      response.status == 404) {
    // Changed (or gone) since the host looked it up: the index learns the new state and the
    // host retries with it.
    response.body.clear();
    refresh(id, path, dav_.stat(path, false));
    throw Refusal(response.status == 404 ? Word::notFound : kBusy);
  }
  if (!response.ok()) refuseStatus(response);
  sink.begin(response.body.size());
  if (!sink.write(response.body)) throw Refusal(Word::io);
}

// The index takes what the server now holds at `path` for item `id`.
void RemoteDrive::refresh(const std::string& id, const std::string& path,
                          const std::optional<Resource>& found) {
  std::lock_guard lock(mutex_);
  const Node* node = index_.find(id);
  if (!node || index_.pathOf(id) != path) return;
  ++generation_;
  RemoteIndex::Transaction transaction(index_);
  if (!found || found->dir != node->dir) {
    index_.removeSubtree(id);
    index_.raiseAnchor();
  } else {
    Node updated = *node;
    bool changed = !sameContents(*node, *found);
    if (changed) updated.version = index_.freshVersion();
    updated.etag = etagToKeep(*node, *found);
    updated.size = found->size, updated.mtime = found->mtime;
    index_.update(updated);
    if (changed || node->size != found->size || node->mtime != found->mtime) index_.raiseAnchor();
  }
  transaction.commit();
}

}  // namespace QuorvelleDrive::companion::remote

#include "companion/remote/remote_drive.h"

#include <algorithm>
#include <charconv>
#include <random>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "companion/refusal.h"
#include "companion/remote/state_dir.h"
#include "platform/json.h"

namespace QuorvelleDrive::companion::remote {

namespace {

constexpr const char* kBusy = "busy";
constexpr const char* kProbePrefix = ".quorvelle-probe-";
constexpr int kConflictAttempts = 64;
constexpr int kPollRetries = 3;
constexpr std::size_t kCrawlConnections = 4;

std::string joined(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

std::string parentPath(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string baseName(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Names the server holds that cannot be items (not UTF-8, not a plain name, our own probe).
bool acceptable(const std::string& path) {
  std::string name = baseName(path);
  if (!isValidName(name) || !isValidUTF8(name)) return false;
  return !(parentPath(path).empty() && name.rfind(kProbePrefix, 0) == 0);
}

bool sameContents(const Node& node, const Resource& resource) {
  if (node.etag.empty() || resource.etag.empty())
    return node.size == resource.size && node.mtime == resource.mtime;
  return strongPart(node.etag) == strongPart(resource.etag);
}

std::string randomTag() {
  std::random_device device;
  return std::to_string(device()) + std::to_string(device());
}

std::uint64_t stagedSize(StagedFile& contents) {
  if (contents.error() != 0) refuseErrno(contents.error());
  off_t end = ::lseek(contents.fd(), 0, SEEK_END);
  if (end < 0) refuseErrno(errno);
  return static_cast<std::uint64_t>(end);
}

}  // namespace

RemoteDrive::RemoteDrive(const RemoteOptions& options, bool readOnly)
    : readOnly_(readOnly),
      state_(options.state.empty() ? defaultStateDirectory(options.url) : options.state),
      lock_(holdStateDirectory(state_)),
      staging_(state_ / "incoming"),
      dav_(options.url, options.netrc),
      index_(state_ / "index.db", dav_.url()),
      pollInterval_(options.poll) {
  if (pollInterval_.count() > 0) poller_ = std::thread([this] { pollLoop(); });
}

RemoteDrive::~RemoteDrive() {
  {
    std::lock_guard lock(pollMutex_);
    stopping_ = true;
  }
  pollWake_.notify_all();
  if (poller_.joinable()) poller_.join();
}

void RemoteDrive::pollLoop() {
  std::unique_lock lock(pollMutex_);
  while (!stopping_) {
    lock.unlock();
    // A crawl that raced with our own changes is thrown away and tried again at once.
    for (int attempt = 0; attempt < kPollRetries && !poll(); ++attempt) {
    }
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
  return {Row{node.id, node.parent, node.name, node.dir, node.version, 0, ""}, node.mtime,
          node.dir ? 0 : node.size};
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
  auto listing = dav_.propfind(path, true, "1");
  if (listing.response.status != 207) refuseStatus(listing.response);
  std::lock_guard lock(mutex_);
  if (!index_.find(id) || index_.pathOf(id) != path) throw Refusal(kBusy);
  ++generation_;
  RemoteIndex::Transaction transaction(index_);
  if (mergeFolder(id, listing.resources)) index_.raiseAnchor();
  transaction.commit();
  std::vector<ItemInfo> items;
  for (auto& child : index_.children(id)) items.push_back(info(child));
  return items;
}

// Children of one folder as the server listed them: kept ids by name, new ones added, gone ones
// dropped. True when a listing would differ.
bool RemoteDrive::mergeFolder(const std::string& id, const std::vector<Resource>& resources) {
  std::string path = *index_.pathOf(id);
  bool changed = false;
  std::set<std::string> seen;
  for (const auto& resource : resources) {
    if (resource.path == path || parentPath(resource.path) != path) continue;
    if (!acceptable(resource.path)) continue;
    std::string name = baseName(resource.path);
    seen.insert(name);
    const Node* found = index_.child(id, name);
    if (found && found->dir == resource.dir) {
      Node node = *found;
      if (!node.dir && !sameContents(node, resource)) node.version = index_.freshVersion();
      changed |= node.version != found->version || node.size != resource.size ||
                 node.mtime != resource.mtime;
      node.etag = resource.etag, node.size = resource.size, node.mtime = resource.mtime;
      index_.update(node);
      continue;
    }
    if (found) index_.removeSubtree(found->id);
    index_.insert({"", id, name, resource.dir, resource.dir ? "" : index_.freshVersion(),
                   resource.etag, resource.size, resource.mtime, false});
    changed = true;
  }
  for (auto& child : index_.children(id))
    if (!seen.count(child.name)) index_.removeSubtree(child.id), changed = true;
  Node folder = existing(id);
  folder.listed = true;
  index_.update(folder);
  return changed;
}

// ---- reading ----

namespace {

bool movedFrom(const std::string& etag, const HttpResponse& response) {
  std::string got = response.header("etag");
  return response.ok() && !got.empty() && !etag.empty() && strongPart(got) != strongPart(etag);
}

std::optional<std::uint64_t> contentLength(const HttpResponse& response) {
  std::string value = response.header("content-length");
  std::uint64_t length = 0;
  auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
  if (value.empty() || error != std::errc() || end != value.data() + value.size())
    return std::nullopt;
  return length;
}

// A GET's body passed on to the client as it arrives, once the headers say it is the version
// asked for and how long it is; otherwise it is left to the caller (an error's body) or dropped
// unread (a version that moved).
class ContentsStream : public BodyStream {
 public:
  ContentsStream(std::string etag, ContentsSink& sink) : etag_(std::move(etag)), sink_(sink) {}

  bool start(const HttpResponse& response) override {
    if (response.status != 200) return false;
    moved_ = movedFrom(etag_, response);
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
  std::string etag_;
  ContentsSink& sink_;
  bool moved_ = false;
  bool begun_ = false;
  bool failed_ = false;
  std::uint64_t size_ = 0;
  std::uint64_t sent_ = 0;
};

}  // namespace

void RemoteDrive::read(const std::string& id, ContentsSink& sink) {
  Node node;
  std::string path;
  {
    std::lock_guard lock(mutex_);
    node = existing(id);
    if (node.dir) throw Refusal(Word::isDir);
    path = pathOf(id);
  }
  bool strong = !node.etag.empty() && !isWeak(node.etag);
  ContentsStream stream(node.etag, sink);
  auto response = dav_.get(path, strong ? node.etag : "", &stream);
  if (stream.begun()) {
    // The reply is on its way: a transfer cut short can only end the connection.
    if (!response.ok() || !stream.complete()) throw Refusal("offline");
    return;
  }
  if (stream.moved() || response.status == 412 || movedFrom(node.etag, response) ||
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
    updated.etag = found->etag, updated.size = found->size, updated.mtime = found->mtime;
    index_.update(updated);
    if (changed || node->size != found->size || node->mtime != found->mtime) index_.raiseAnchor();
  }
  transaction.commit();
}

// ---- the server's abilities ----

const RemoteDrive::Capabilities& RemoteDrive::capabilities() {
  std::lock_guard lock(probeMutex_);
  if (!capabilities_) capabilities_ = probe();
  return *capabilities_;
}

// In a scratch folder of its own: does PUT honour a failing If-Match, and does a folder's ETag
// move when a file two levels below it changes? Throws (offline) when the server is down, so
// that the probe runs again later.
RemoteDrive::Capabilities RemoteDrive::probe() {
  Capabilities found;
  if (readOnly_) return found;
  std::string folder = kProbePrefix + randomTag();
  auto made = dav_.mkcol(folder);
  if (made.status == 0) refuseStatus(made);
  if (made.status != 201) return found;  // no scratch room: assume the least and lock
  found.mkcolExclusive = dav_.mkcol(folder).status == 405;
  dav_.mkcol(folder + "/sub");
  auto before = dav_.stat(folder, true);
  std::string empty;
  HttpRequest put{"PUT", dav_.urlOf(folder + "/sub/f", false), {}, {}};
  dav_.client().perform(put);
  auto after = dav_.stat(folder, true);
  found.propagates = before && after && !before->etag.empty() &&
                     strongPart(before->etag) != strongPart(after->etag);
  put.headers = {"If-Match: \"quorvelle-no-such-version\""};
  found.conditionalPut = dav_.client().perform(put).status == 412;
  dav_.remove(folder, true);
  return found;
}

// ---- changes ----

ItemInfo RemoteDrive::recordNew(const std::string& parent, const std::string& name, bool dir,
                                const std::string& path, const HttpResponse& put,
                                std::uint64_t size) {
  std::optional<Resource> found;
  try {
    found = dav_.stat(path, dir);
  } catch (const Refusal&) {
    // Created but not described: what we know stands in until the next poll.
  }
  Resource resource = found.value_or(
      Resource{path, dir, put.header("etag"), size, static_cast<double>(std::time(nullptr))});
  std::lock_guard lock(mutex_);
  ++generation_;
  if (!index_.find(parent) || index_.pathOf(parent) != parentPath(path)) throw Refusal(kBusy);
  RemoteIndex::Transaction transaction(index_);
  if (const Node* stale = index_.child(parent, name)) index_.removeSubtree(stale->id);
  Node node{"",   parent,         name, dir, dir ? "" : index_.freshVersion(), resource.etag,
            size, resource.mtime, dir};
  if (!dir) node.size = resource.size;
  node.id = index_.insert(node);
  index_.raiseAnchor();
  transaction.commit();
  return info(node);
}

// A new file at `path`, never over an existing one: If-None-Match where the server honours it,
// else a lock taken on the free name (which the server makes, empty) before the bytes go.
HttpResponse RemoteDrive::putNew(const std::string& path, StagedFile& contents) {
  std::uint64_t size = stagedSize(contents);
  if (capabilities().conditionalPut) {
    auto response = dav_.put(path, contents.fd(), size, {"If-None-Match: *"});
    if (response.status == 412) throw Refusal(Word::exists);
    return response;
  }
  std::string token;
  auto locked = dav_.lock(path, token);
  if (locked.status == 423) throw Refusal(Word::exists);
  if (!locked.ok() || token.empty()) refuseStatus(locked);
  if (locked.status != 201) {
    dav_.unlock(path, token);
    throw Refusal(Word::exists);
  }
  auto response = dav_.put(path, contents.fd(), size, {"If: (<" + token + ">)"});
  dav_.unlock(path, token);
  return response;
}

ItemInfo RemoteDrive::create(const std::string& parent, const std::string& name, bool dir,
                             StagedFile* contents) {
  requireWritable();
  if (!isValidName(name)) throw Refusal(Word::badName);
  if (!dir && !contents) throw Refusal(Word::badRequest);
  std::string path;
  {
    std::lock_guard lock(mutex_);
    Node folder = existing(parent);
    if (!folder.dir) throw Refusal(Word::notDir);
    path = joined(pathOf(parent), name);
  }
  HttpResponse response;
  std::uint64_t size = 0;
  if (dir) {
    if (!capabilities().mkcolExclusive && dav_.stat(path, true)) throw Refusal(Word::exists);
    response = dav_.mkcol(path);
    if (response.status == 405) throw Refusal(Word::exists);
  } else {
    size = stagedSize(*contents);
    response = putNew(path, *contents);
  }
  if (!response.ok()) refuseStatus(response);
  return recordNew(parent, name, dir, path, response, size);
}

ItemInfo RemoteDrive::rename(const std::string& id, const std::string& parent,
                             const std::string& name) {
  requireWritable();
  if (id == kRootId) throw Refusal(Word::access);
  Node node;
  std::string from;
  std::string to;
  {
    std::lock_guard lock(mutex_);
    node = existing(id);
    if (!isValidName(name)) throw Refusal(Word::badName);
    Node destination = existing(parent);
    if (!destination.dir) throw Refusal(Word::notDir);
    if (node.parent == parent && node.name == name) return info(node);
    for (std::string at = parent; node.dir; at = existing(at).parent) {
      if (at == id) throw Refusal(Word::badMove);
      if (at == kRootId) break;
    }
    from = pathOf(id);
    to = joined(pathOf(parent), name);
  }
  auto response = dav_.move(from, to, node.dir);
  if (response.status == 412) throw Refusal(Word::exists);
  if (!response.ok()) refuseStatus(response);
  std::lock_guard lock(mutex_);
  ++generation_;
  if (!index_.find(id) || !index_.find(parent)) throw Refusal(kBusy);
  RemoteIndex::Transaction transaction(index_);
  if (const Node* stale = index_.child(parent, name); stale && stale->id != id)
    index_.removeSubtree(stale->id);
  node = existing(id);
  node.parent = parent;
  node.name = name;
  index_.update(node);
  index_.raiseAnchor();
  transaction.commit();
  return info(node);
}

// The ETag the file's current version has on the server now (Apache turns a weak one strong a
// second after a change); a file changed there meanwhile is recorded as a new version first.
std::string RemoteDrive::freshEtag(const std::string& id, const std::string& path) {
  auto found = dav_.stat(path, false);
  refresh(id, path, found);
  if (!found) throw Refusal(Word::notFound);
  return found->etag;
}

WriteOutcome RemoteDrive::write(const std::string& id, const std::optional<std::string>& base,
                                StagedFile& contents) {
  requireWritable();
  Node node;
  std::string path;
  {
    std::lock_guard lock(mutex_);
    node = existing(id);
    if (node.dir) throw Refusal(Word::isDir);
    path = pathOf(id);
  }
  if (!base || *base != node.version) return keepConflict(node, contents);
  std::string etag = node.etag;
  // A weak ETag is checked under the lock (or fetched again where there are no locks).
  if (etag.empty()) {
    etag = freshEtag(id, path);
    node = current(id);
    if (*base != node.version) return keepConflict(node, contents);
  }
  std::uint64_t size = stagedSize(contents);
  bool stale = false;
  HttpResponse response = putLocked(path, contents, etag, stale);
  if (stale) {
    refresh(id, path, dav_.stat(path, false));
    return keepConflict(current(id), contents);
  }
  if (!response.ok()) refuseStatus(response);
  std::optional<Resource> found;
  try {
    found = dav_.stat(path, false);
  } catch (const Refusal&) {
  }
  std::lock_guard lock(mutex_);
  ++generation_;
  RemoteIndex::Transaction transaction(index_);
  node = existing(id);
  node.version = index_.freshVersion();
  node.etag = found ? found->etag : response.header("etag");
  node.size = found ? found->size : size;
  node.mtime = found ? found->mtime : static_cast<double>(std::time(nullptr));
  index_.update(node);
  index_.raiseAnchor();
  transaction.commit();
  return {info(node), false};
}

// Lock, check, write with the lock, unlock. The lock is what makes the check and the write one
// step: Apache checks If-Match and then writes, so two PUTs resting on one ETag can both pass
// its check; and some servers ignore If-Match altogether. A lock held by another writer
// answers busy, so the host retries. Where the server has no locks, If-Match alone guards.
HttpResponse RemoteDrive::putLocked(const std::string& path, StagedFile& contents,
                                    const std::string& expectedEtag, bool& stale) {
  bool conditional = capabilities().conditionalPut && !isWeak(expectedEtag);
  std::vector<std::string> headers;
  if (conditional) headers.push_back("If-Match: " + expectedEtag);
  std::uint64_t size = stagedSize(contents);
  std::string token;
  auto locked = dav_.lock(path, token);
  if (locked.status == 405 || locked.status == 501) {
    // Without a lock only If-Match guards, and it needs a strong ETag.
    if (!conditional && capabilities().conditionalPut) {
      auto current = dav_.stat(path, false);
      stale = !current || strongPart(current->etag) != strongPart(expectedEtag);
      if (stale) return {};
      conditional = !isWeak(current->etag);
      headers = {"If-Match: " + current->etag};
    }
    // Still weak: the host retries once it has turned strong.
    if (!conditional) throw Refusal(kBusy);
    auto response = dav_.put(path, contents.fd(), size, headers);
    stale = response.status == 412;
    return response;
  }
  if (!locked.ok() || token.empty()) refuseStatus(locked);
  HttpResponse response;
  try {
    if (!conditional) {
      auto current = dav_.stat(path, false);
      stale = !current || strongPart(current->etag) != strongPart(expectedEtag);
    }
    if (!stale) {
      headers.push_back("If: (<" + token + ">)");
      response = dav_.put(path, contents.fd(), size, headers);
      stale = response.status == 412;
    }
  } catch (...) {
    dav_.unlock(path, token);
    throw;
  }
  dav_.unlock(path, token);
  return response;
}

// The incoming bytes become "name (conflict N).ext" beside the current version, which stays.
WriteOutcome RemoteDrive::keepConflict(const Node& current, StagedFile& contents) {
  std::string folder;
  {
    std::lock_guard lock(mutex_);
    folder = pathOf(current.parent);
  }
  std::set<unsigned> refused;
  auto taken = [&](unsigned number) {
    if (refused.count(number)) return true;
    std::lock_guard lock(mutex_);
    return index_.child(current.parent, conflictName(current.name, number)) != nullptr;
  };
  // A name the index does not know may still be taken on the server (by another machine since
  // the last poll); the PUT refuses it and the search goes on from there.
  for (int attempt = 1; attempt <= kConflictAttempts; ++attempt) {
    unsigned number = freeConflictNumber(taken);
    std::string name = conflictName(current.name, number);
    std::string path = joined(folder, name);
    HttpResponse response;
    try {
      response = putNew(path, contents);
    } catch (const Refusal& refusal) {
      if (refusal.word() != Word::exists) throw;
      refused.insert(number);
      continue;
    }
    if (!response.ok()) refuseStatus(response);
    recordNew(current.parent, name, false, path, response, stagedSize(contents));
    std::lock_guard lock(mutex_);
    return {info(existing(current.id)), true};
  }
  throw Refusal(Word::exists);
}

void RemoteDrive::remove(const std::string& id) {
  requireWritable();
  if (id == kRootId) throw Refusal(Word::access);
  Node node;
  std::string path;
  {
    std::lock_guard lock(mutex_);
    node = existing(id);
    path = pathOf(id);
  }
  std::vector<std::string> conditions;
  if (node.dir) {
    // DELETE of a collection takes everything in it: only an empty one goes.
    auto listing = dav_.propfind(path, true, "1");
    if (listing.response.status == 207) {
      for (auto& resource : listing.resources) {
        if (resource.path != path) throw Refusal(Word::notEmpty);
        if (!resource.etag.empty() && !isWeak(resource.etag) && capabilities().conditionalPut)
          conditions.push_back("If-Match: " + resource.etag);
      }
    } else if (listing.response.status != 404) {
      refuseStatus(listing.response);
    }
  }
  auto response = dav_.remove(path, node.dir, conditions);
  if (response.status == 412) throw Refusal(node.dir ? Word::notEmpty : kBusy);
  if (!response.ok() && response.status != 404) refuseStatus(response);
  std::lock_guard lock(mutex_);
  ++generation_;
  if (!index_.find(id)) return;
  RemoteIndex::Transaction transaction(index_);
  index_.removeSubtree(id);
  index_.raiseAnchor();
  transaction.commit();
}

// ---- polling ----

bool RemoteDrive::poll() {
  std::uint64_t started;
  {
    std::lock_guard lock(mutex_);
    started = generation_;
  }
  std::optional<Entries> entries;
  try {
    entries = crawl(!readOnly_ && capabilities().propagates);
  } catch (const std::exception&) {
    return false;
  }
  if (!entries) return false;
  std::lock_guard lock(mutex_);
  if (generation_ != started) return false;
  apply(*entries);
  return true;
}

// Everything under `id` as the index has it, for a folder the server says did not change.
void RemoteDrive::keepFromIndex(const std::string& id, const std::string& path,
                                Entries& entries) const {
  for (auto& child : index_.children(id)) {
    std::string at = joined(path, child.name);
    entries[at] = Resource{at, child.dir, child.etag, child.size, child.mtime};
    if (child.dir) keepFromIndex(child.id, at, entries);
  }
}

std::optional<RemoteDrive::Entries> RemoteDrive::crawl(bool propagates) {
  Entries entries;
  if (!propagates && !infinityRefused_) {
    auto listing = dav_.propfind("", true, "infinity");
    if (listing.response.status == 207) {
      for (auto& resource : listing.resources) entries[resource.path] = resource;
      return entries;
    }
    if (listing.response.status == 0 || listing.response.status >= 500) return std::nullopt;
    infinityRefused_ = true;
  }
  // Folders the index has read, by path, for skipping those whose ETag did not move.
  std::unordered_map<std::string, Node> known;
  if (propagates) {
    std::lock_guard lock(mutex_);
    std::unordered_map<std::string, std::string> paths{{kRootId, ""}};
    for (auto& node : index_.all()) {
      if (node.id != kRootId) paths[node.id] = joined(paths.at(node.parent), node.name);
      if (node.dir && node.listed && !node.etag.empty()) known[paths[node.id]] = node;
    }
  }
  // Level by level, each level's folders shared out among a few connections at once.
  std::vector<std::string> level{""};
  while (!level.empty()) {
    std::size_t workers = std::min<std::size_t>(kCrawlConnections, level.size());
    std::vector<Entries> found(workers);
    std::vector<std::vector<std::string>> next(workers);
    std::vector<char> ok(workers, 1);
    std::vector<std::thread> threads;
    for (std::size_t w = 0; w < workers; ++w)
      threads.emplace_back([&, w] {
        try {
          for (std::size_t i = w; i < level.size() && ok[w]; i += workers)
            ok[w] = crawlFolder(level[i], known, found[w], next[w]);
        } catch (const std::exception&) {
          ok[w] = 0;
        }
      });
    for (auto& thread : threads) thread.join();
    level.clear();
    for (std::size_t w = 0; w < workers; ++w) {
      if (!ok[w]) return std::nullopt;
      entries.merge(found[w]);
      level.insert(level.end(), next[w].begin(), next[w].end());
    }
  }
  return entries;
}

// One Depth: 1 listing; a folder whose ETag did not move keeps what the index holds below it
// (only where ETags propagate).
bool RemoteDrive::crawlFolder(const std::string& folder,
                              const std::unordered_map<std::string, Node>& known, Entries& entries,
                              std::vector<std::string>& next) {
  auto listing = dav_.propfind(folder, true, "1");
  if (listing.response.status != 207) return false;
  for (auto& resource : listing.resources) {
    if (resource.path != folder && parentPath(resource.path) != folder) continue;
    entries[resource.path] = resource;
    if (!resource.dir) continue;
    auto same = known.find(resource.path);
    if (same != known.end() && same->second.etag == resource.etag) {
      std::lock_guard lock(mutex_);
      if (index_.find(same->second.id)) keepFromIndex(same->second.id, resource.path, entries);
      if (resource.path == folder) return true;
      continue;
    }
    if (resource.path != folder) next.push_back(resource.path);
  }
  return true;
}

// The server's whole tree in, the index brought in line: items keep their ids at their path; an
// item gone from one place and new at another with the same kind, strong ETag and size (alone
// in having them) keeps its id, and so does everything that moved along with a folder.
void RemoteDrive::apply(const Entries& entries) {
  std::unordered_map<std::string, std::string> atPath;  // path → id, as the index has it
  std::unordered_map<std::string, std::string> pathOfId;
  for (auto& node : index_.all()) {
    std::string path = node.id == kRootId ? "" : joined(pathOfId.at(node.parent), node.name);
    pathOfId[node.id] = path;
    atPath[path] = node.id;
  }
  std::unordered_map<std::string, std::string> idFor;  // entry path → claimed id
  std::unordered_set<std::string> claimed{kRootId};
  using Key = std::tuple<bool, std::string, std::uint64_t>;
  std::set<std::string> skipped;  // entries that cannot be items, and everything below them
  for (auto& [path, resource] : entries) {
    if (path.empty()) continue;
    if (!acceptable(path) || skipped.count(parentPath(path))) {
      skipped.insert(path);
      continue;
    }
    auto found = atPath.find(path);
    if (found != atPath.end() && index_.find(found->second)->dir == resource.dir) {
      idFor[path] = found->second;
      claimed.insert(found->second);
    }
  }
  // Folders without an ETag (rclone gives none) are known by what they hold.
  std::unordered_map<std::string, std::string> heldAt;
  for (auto& [path, resource] : entries)
    if (!path.empty())
      heldAt[parentPath(path)] += baseName(path) + "/" + strongPart(resource.etag) + "/" +
                                  std::to_string(resource.dir ? 0 : resource.size) + "\n";
  auto keyOf = [](bool dir, const std::string& etag, std::uint64_t size,
                  const std::string& held) -> std::optional<Key> {
    if (!etag.empty()) return Key{dir, strongPart(etag), dir ? 0 : size};
    if (dir && !held.empty()) return Key{dir, "holding\n" + held, 0};
    return std::nullopt;
  };
  std::map<Key, std::vector<std::string>> vanishedByKey, appearedByKey;
  for (auto& [id, path] : pathOfId) {
    const Node& node = *index_.find(id);
    if (claimed.count(id)) continue;
    std::string held;
    if (node.dir)
      for (auto& child : index_.children(id))
        held += child.name + "/" + strongPart(child.etag) + "/" +
                std::to_string(child.dir ? 0 : child.size) + "\n";
    if (auto key = keyOf(node.dir, node.etag, node.size, held)) vanishedByKey[*key].push_back(id);
  }
  std::map<std::string, Key> appearedKeys;
  for (auto& [path, resource] : entries) {
    if (path.empty() || skipped.count(path) || idFor.count(path)) continue;
    auto held = heldAt.find(path);
    if (auto key = keyOf(resource.dir, resource.etag, resource.size,
                         held == heldAt.end() ? std::string() : held->second)) {
      appearedByKey[*key].push_back(path);
      appearedKeys.emplace(path, *key);
    }
  }
  for (auto& [path, resource] : entries) {
    if (idFor.count(path) || !appearedKeys.count(path)) continue;
    const Key& key = appearedKeys.at(path);
    auto vanished = vanishedByKey.find(key);
    if (vanished == vanishedByKey.end() || vanished->second.size() != 1 ||
        appearedByKey[key].size() != 1 || claimed.count(vanished->second.front()))
      continue;
    std::string id = vanished->second.front();
    idFor[path] = id;
    claimed.insert(id);
    if (!resource.dir) continue;
    // What moved along inside the folder.
    std::string oldPath = pathOfId.at(id);
    for (auto& inner : index_.subtree(id)) {
      if (inner == id || claimed.count(inner)) continue;
      std::string at = path + pathOfId.at(inner).substr(oldPath.size());
      auto entry = entries.find(at);
      if (entry == entries.end() || idFor.count(at) || skipped.count(at) ||
          entry->second.dir != index_.find(inner)->dir)
        continue;
      idFor[at] = inner;
      claimed.insert(inner);
    }
  }

  RemoteIndex::Transaction transaction(index_);
  bool changed = false;
  for (auto& [path, resource] : entries) {
    if (skipped.count(path)) continue;
    if (path.empty()) {
      Node root = existing(kRootId);
      root.etag = resource.etag, root.mtime = resource.mtime, root.listed = true;
      index_.update(root);
      continue;
    }
    auto parent = idFor.find(parentPath(path));
    std::string parentId = parentPath(path).empty() ? kRootId : "";
    if (parent != idFor.end()) parentId = parent->second;
    if (parentId.empty()) continue;
    auto claim = idFor.find(path);
    if (claim == idFor.end()) {
      idFor[path] = index_.insert({"", parentId, baseName(path), resource.dir,
                                   resource.dir ? "" : index_.freshVersion(), resource.etag,
                                   resource.size, resource.mtime, resource.dir});
      changed = true;
      continue;
    }
    Node node = existing(claim->second);
    Node updated = node;
    if (!node.dir && !sameContents(node, resource)) updated.version = index_.freshVersion();
    updated.parent = parentId, updated.name = baseName(path), updated.etag = resource.etag;
    updated.size = resource.dir ? 0 : resource.size, updated.mtime = resource.mtime;
    updated.listed = updated.listed || resource.dir;
    changed |= updated.version != node.version || updated.parent != node.parent ||
               updated.name != node.name || updated.size != node.size ||
               updated.mtime != node.mtime;
    if (updated.version != node.version || updated.parent != node.parent ||
        updated.name != node.name || updated.etag != node.etag || updated.size != node.size ||
        updated.mtime != node.mtime || updated.listed != node.listed)
      index_.update(updated);
  }
  for (auto& [id, path] : pathOfId)
    if (!claimed.count(id) && index_.find(id)) index_.removeSubtree(id), changed = true;
  if (changed) index_.raiseAnchor();
  transaction.commit();
}

}  // namespace QuorvelleDrive::companion::remote

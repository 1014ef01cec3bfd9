// The crawl: the server's tree read (whole where Depth: infinity is allowed and verified, else
// folder by folder, skipping folders whose ETag did not move where ETags propagate) and merged
// into the index.
#include <set>
#include <thread>
#include <unordered_set>

#include "companion/refusal.h"
#include "companion/remote/drive_support.h"
#include "companion/remote/remote_drive.h"

namespace QuorvelleDrive::companion::remote {

namespace {

constexpr std::size_t kCrawlConnections = 4;
// Folders checked one level deep when a whole listing shows them empty but the index does not.
constexpr std::size_t kMostCutChecks = 8;
// Scratch uploads and probe folders older than this were left by a companion that died.
constexpr double kStaleScratchSeconds = 3600;

}  // namespace

bool RemoteDrive::poll() {
  std::uint64_t started;
  {
    std::lock_guard lock(mutex_);
    started = generation_;
  }
  std::optional<Entries> entries;
  try {
    entries = crawl(abilities());
  } catch (const std::exception&) {
    return false;
  }
  if (!entries) return false;
  if (auto root = entries->find(""); root != entries->end()) noteQuota(root->second);
  sweepScratch(*entries);
  std::lock_guard lock(mutex_);
  if (generation_ != started) return false;
  apply(*entries);
  return true;
}

void RemoteDrive::noteQuota(const Resource& root) {
  if (!root.quotaAvailable && !root.quotaUsed) return;
  Quota now{root.quotaAvailable.value_or(0), root.quotaUsed.value_or(0)};
  {
    std::lock_guard lock(quotaMutex_);
    if (!quota_)
      say("the server's quota for " + dav_.url() + ": " + std::to_string(now.available) +
          " bytes available, " + std::to_string(now.used) + " used");
    if (quota_ && quota_->available == now.available && quota_->used == now.used) return;
    quota_ = now;
  }
  server_.setQuota(now.available, now.used);  // the mount's `df` reads it from there
}

void RemoteDrive::sweepScratch(const Entries& entries) {
  if (readOnly_) return;
  auto now = static_cast<double>(std::time(nullptr));
  for (auto& [path, resource] : entries) {
    if (!isScratchName(baseName(path)) || resource.mtime == 0 ||
        now - resource.mtime < kStaleScratchSeconds)
      continue;
    try {
      dav_.remove(path, resource.dir);
    } catch (const std::exception&) {
    }
  }
}

std::optional<RemoteDrive::Entries> RemoteDrive::crawl(const Abilities& abilities) {
  // Where listings leave out dot-names, a whole one also leaves out all below a dot-folder.
  bool dotNames = looksUpDotNames(abilities);
  if (abilities.infinity == Infinity::allowed && !abilities.propagates && !dotNames) {
    if (auto whole = crawlWhole()) {
      if (whole->empty()) return std::nullopt;
      return whole;
    }
  }
  return crawlByFolder(abilities.propagates, dotNames);
}

// One PROPFIND with Depth: infinity. A server may cut the listing short and still answer 207
// (sabre/dav does at one level unless told otherwise): folders the listing shows empty while the
// index knows children in them are looked at one level deep, and a cut listing is never taken
// as "everything deeper was deleted". Nothing when the tree is to be read folder by folder; an
// empty map when the server is not there.
std::optional<RemoteDrive::Entries> RemoteDrive::crawlWhole() {
  auto listing = dav_.propfind("", true, "infinity", true);
  auto demote = [&](Infinity to, const std::string& why) {
    std::lock_guard lock(probeMutex_);
    if (!abilities_ || abilities_->infinity == to) return;
    abilities_->infinity = to;
    say("the server at " + dav_.url() + " " + why + "; the tree is read one folder at a time");
    server_.setAbilities(describe(*abilities_));
  };
  if (listing.response.status == 0 || listing.response.status >= 500) return Entries{};
  if (listing.response.status != 207) {
    demote(Infinity::refused, "refuses Depth: infinity now");
    return std::nullopt;
  }
  Entries entries;
  for (auto& resource : listing.resources) entries[resource.path] = resource;
  if (looksCut(entries)) {
    demote(Infinity::capped, "cut a Depth: infinity listing short");
    return std::nullopt;
  }
  return entries;
}

bool RemoteDrive::looksCut(const Entries& entries) {
  std::set<std::string> holding;
  for (auto& [path, resource] : entries)
    if (!path.empty()) holding.insert(parentPath(path));
  std::vector<std::string> suspects;
  {
    std::lock_guard lock(mutex_);
    for (auto& node : index_.all()) {
      if (!node.dir || !node.listed || index_.children(node.id).empty()) continue;
      auto path = index_.pathOf(node.id);
      auto listed = path ? entries.find(*path) : entries.end();
      if (listed != entries.end() && listed->second.dir && !holding.count(*path))
        suspects.push_back(*path);
    }
  }
  if (suspects.size() > kMostCutChecks) suspects.resize(kMostCutChecks);
  for (auto& folder : suspects) {
    auto listing = dav_.propfind(folder, true, "1");
    if (listing.response.status != 207) continue;
    for (auto& resource : listing.resources)
      if (resource.path != folder && parentPath(resource.path) == folder) return true;
  }
  return false;
}

// Everything under `id` as the index has it, for a folder the server says did not change.
void RemoteDrive::keepFromIndex(const std::string& id, const std::string& path,
                                Entries& entries) const {
  for (auto& child : index_.children(id)) {
    std::string at = joined(path, child.name);
    entries[at] = Resource{at, child.dir, child.etag, child.size, child.mtime, {}, {}};
    if (child.dir) keepFromIndex(child.id, at, entries);
  }
}

std::optional<RemoteDrive::Entries> RemoteDrive::crawlByFolder(bool propagates, bool dotNames) {
  Entries entries;
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
            ok[w] = crawlFolder(level[i], known, dotNames, found[w], next[w]);
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
                              const std::unordered_map<std::string, Node>& known, bool dotNames,
                              Entries& entries, std::vector<std::string>& next) {
  auto listing = dav_.propfind(folder, true, "1", folder.empty());
  auto status = listing.response.status;
  if (!folder.empty() && (status == 403 || status == 404)) {
    // Refused, or gone since its parent was listed: what the index holds below it stands (the
    // parent's next listing says whether it is still there), so one folder cannot stop every
    // poll.
    std::lock_guard lock(mutex_);
    if (const Node* node = nodeAt(folder)) keepFromIndex(node->id, folder, entries);
    return true;
  }
  if (status != 207) return false;
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
  if (dotNames) lookUpDotNames(folder, entries, next);
  return true;
}

// The dot-names the index holds in a folder whose listing left them out, each asked after on
// its own: one still there stays (a dot-folder is then crawled like any other), one gone goes.
void RemoteDrive::lookUpDotNames(const std::string& folder, Entries& entries,
                                 std::vector<std::string>& next) {
  std::vector<std::pair<std::string, bool>> unlisted;
  {
    std::lock_guard lock(mutex_);
    const Node* node = nodeAt(folder);
    if (!node) return;
    for (auto& child : index_.children(node->id)) {
      std::string path = joined(folder, child.name);
      if (isDotName(child.name) && !entries.count(path)) unlisted.emplace_back(path, child.dir);
    }
  }
  for (auto& [path, dir] : unlisted) {
    auto found = dav_.stat(path, dir);
    if (!found) continue;
    entries[path] = *found;
    if (found->dir) next.push_back(path);
  }
}

const Node* RemoteDrive::nodeAt(const std::string& path) const {
  const Node* node = index_.find(kRootId);
  for (std::size_t at = 0; node && at < path.size();) {
    auto slash = std::min(path.find('/', at), path.size());
    node = index_.child(node->id, path.substr(at, slash - at));
    at = slash + 1;
  }
  return node;
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
  // Folders without an ETag (rclone gives none) are known by what they hold, files without one
  // (nginx, sabre/dav) by size and time.
  auto entryLine = [](const std::string& name, bool dir, std::uint64_t size) {
    return name + "/" + std::to_string(dir ? 0 : size) + "\n";
  };
  std::unordered_map<std::string, std::string> heldAt;
  for (auto& [path, resource] : entries)
    if (!path.empty())
      heldAt[parentPath(path)] += entryLine(baseName(path), resource.dir, resource.size);
  auto keyOf = [](bool dir, const std::string& etag, std::uint64_t size, double mtime,
                  const std::string& held) -> std::optional<Key> {
    if (!etag.empty()) return Key{dir, strongPart(etag), dir ? 0 : size};
    if (dir && !held.empty()) return Key{dir, "holding\n" + held, 0};
    if (!dir && mtime != 0) return Key{dir, "dated " + std::to_string(mtime), size};
    return std::nullopt;
  };
  std::map<Key, std::vector<std::string>> vanishedByKey, appearedByKey;
  for (auto& [id, path] : pathOfId) {
    const Node& node = *index_.find(id);
    if (claimed.count(id)) continue;
    std::string held;
    if (node.dir)
      for (auto& child : index_.children(id)) held += entryLine(child.name, child.dir, child.size);
    if (auto key = keyOf(node.dir, node.etag, node.size, node.mtime, held))
      vanishedByKey[*key].push_back(id);
    // An ETag recorded from a HEAD is not in the listing: known by size and time as well.
    if (!node.dir && !node.etag.empty())
      if (auto key = keyOf(false, "", node.size, node.mtime, "")) vanishedByKey[*key].push_back(id);
  }
  std::map<std::string, Key> appearedKeys;
  for (auto& [path, resource] : entries) {
    if (path.empty() || skipped.count(path) || idFor.count(path)) continue;
    auto held = heldAt.find(path);
    if (auto key = keyOf(resource.dir, resource.etag, resource.size, resource.mtime,
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
                                   resource.dir ? 0 : resource.size, resource.mtime, resource.dir});
      changed = true;
      continue;
    }
    Node node = existing(claim->second);
    Node updated = node;
    if (!node.dir && !sameContents(node, resource)) updated.version = index_.freshVersion();
    updated.parent = parentId, updated.name = baseName(path);
    updated.etag = etagToKeep(node, resource);
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

// Children of one folder as the server listed them: kept ids by name, new ones added, gone ones
// dropped (but for dot-names, where `dotNames` says listings leave them out). True when a
// listing would differ.
bool RemoteDrive::mergeFolder(const std::string& id, const std::vector<Resource>& resources,
                              bool dotNames) {
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
      std::uint64_t size = resource.dir ? 0 : resource.size;
      if (!node.dir && !sameContents(node, resource)) node.version = index_.freshVersion();
      changed |=
          node.version != found->version || node.size != size || node.mtime != resource.mtime;
      node.etag = etagToKeep(*found, resource);
      node.size = size, node.mtime = resource.mtime;
      index_.update(node);
      continue;
    }
    if (found) index_.removeSubtree(found->id);
    index_.insert({"", id, name, resource.dir, resource.dir ? "" : index_.freshVersion(),
                   resource.etag, resource.dir ? 0 : resource.size, resource.mtime, false});
    changed = true;
  }
  for (auto& child : index_.children(id))
    if (!seen.count(child.name) && !(dotNames && isDotName(child.name)))
      index_.removeSubtree(child.id), changed = true;
  Node folder = existing(id);
  folder.listed = true;
  index_.update(folder);
  return changed;
}

}  // namespace QuorvelleDrive::companion::remote

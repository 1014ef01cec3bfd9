// The drive's changes: each reaches the server first and the index only once the server has
// taken it.
#include <unistd.h>

#include <cstring>

#include "companion/refusal.h"
#include "companion/remote/drive_support.h"
#include "companion/remote/remote_drive.h"

namespace QuorvelleDrive::companion::remote {

namespace {

constexpr int kConflictAttempts = 64;

// An exclusive lock on one file for the length of a check and a write, released whatever
// happens. Where the server has no locks (405, 501) none is held and the check stands alone.
class WriteLock {
 public:
  WriteLock(Dav& dav, const std::string& path) : dav_(dav), path_(path) {
    auto locked = dav_.lock(path_, token_);
    if (locked.status == 405 || locked.status == 501) {
      token_.clear();
      return;
    }
    if (!locked.ok() || token_.empty()) refuseStatus(locked);  // 423: another writer's turn
    made_ = locked.status == 201;
  }
  ~WriteLock() { release(); }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;

  const std::string& token() const { return token_; }
  // The file was gone: the lock made an empty one in its place.
  bool madeTheFile() const { return made_; }
  void release() {
    if (token_.empty()) return;
    try {
      dav_.unlock(path_, std::exchange(token_, {}));
    } catch (...) {
    }
  }

 private:
  Dav& dav_;
  std::string path_;
  std::string token_;
  bool made_ = false;
};

// An upload on its way under a scratch name, removed unless it was moved into place.
class ScratchUpload {
 public:
  ScratchUpload(Dav& dav, std::string path) : dav_(dav), path_(std::move(path)) {}
  ~ScratchUpload() {
    if (path_.empty()) return;
    try {
      dav_.remove(path_, false);
    } catch (...) {
    }
  }
  ScratchUpload(const ScratchUpload&) = delete;
  ScratchUpload& operator=(const ScratchUpload&) = delete;

  const std::string& path() const { return path_; }
  void placed() { path_.clear(); }

 private:
  Dav& dav_;
  std::string path_;
};

// A GET's body compared, as it arrives, with a staged file.
class ComparingStream : public BodyStream {
 public:
  explicit ComparingStream(int fd) : fd_(fd) {}
  bool start(const HttpResponse& response) override { return response.status == 200; }
  bool write(std::string_view bytes) override {
    std::string mine(bytes.size(), '\0');
    ssize_t got = ::pread(fd_, mine.data(), mine.size(), static_cast<off_t>(offset_));
    same_ = got == static_cast<ssize_t>(bytes.size()) &&
            std::memcmp(mine.data(), bytes.data(), bytes.size()) == 0;
    offset_ += bytes.size();
    return same_;
  }
  bool same(std::uint64_t size) const { return same_ && offset_ == size; }
  // A difference already seen (the transfer was stopped there).
  bool differs() const { return !same_; }

 private:
  int fd_;
  std::uint64_t offset_ = 0;
  bool same_ = true;
};

}  // namespace

std::optional<Resource> RemoteDrive::described(const std::string& path, bool dir) {
  std::optional<Resource> found;
  try {
    found = dav_.stat(path, dir);
  } catch (const std::exception&) {
    return std::nullopt;  // made but not described: what we know stands in until the next poll
  }
  // Where PROPFIND lists no ETag, a HEAD's is kept for the next write's check.
  if (found && !dir && found->etag.empty() && abilities().headEtag)
    found->etag = dav_.head(path).header("etag");
  return found;
}

// Whether the server's file at `path` already holds exactly the staged bytes: a change sent
// again after its answer was lost (libcurl itself sends a request again on a fresh connection
// when the old one died before the answer). A server that cannot say refuses as it answered.
bool RemoteDrive::sameBytes(const std::string& path, StagedFile& contents) {
  std::uint64_t size = stagedSize(contents);
  ComparingStream stream(contents.fd());
  auto response = dav_.get(path, "", &stream);
  if (stream.differs()) return false;
  if (response.status == 0 || response.status >= 500) refuseStatus(response);
  return response.ok() && stream.same(size);
}

std::optional<Resource> RemoteDrive::holdsBytes(const std::string& path, StagedFile& contents) {
  auto found = dav_.stat(path, false);  // a server gone meanwhile is offline, never "exists"
  if (!found || found->dir || found->size != stagedSize(contents)) return std::nullopt;
  if (!sameBytes(path, contents)) return std::nullopt;
  return found;
}

ItemInfo RemoteDrive::recordNew(const std::string& parent, const std::string& name, bool dir,
                                const std::string& path, std::uint64_t size) {
  Resource resource = described(path, dir).value_or(
      Resource{path, dir, "", size, static_cast<double>(std::time(nullptr)), {}, {}});
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

// The staged bytes go to a hidden name beside `path`, so that a body cut short never holds the
// user's name; the caller moves it into place.
std::string RemoteDrive::uploadBeside(const std::string& path, StagedFile& contents) {
  std::string scratch = joined(parentPath(path), freshScratchName("upload"));
  auto response = dav_.put(scratch, contents.fd(), stagedSize(contents), {});
  if (!response.ok()) {
    // Whatever the server kept of it goes, also when no answer came (a body cut short, or an
    // answer lost after the server took it all).
    ScratchUpload leftover(dav_, scratch);
    refuseStatus(response);
  }
  return scratch;
}

// A new file at `path`, never over an existing one: where PUTs are whole and If-None-Match is
// honoured, one conditional PUT; elsewhere through a scratch name and a MOVE that refuses to
// overwrite.
HttpResponse RemoteDrive::placeNewFile(const std::string& path, StagedFile& contents) {
  Abilities found = abilities();
  if (!found.writesInPlace && found.ifNoneMatch) {
    auto response = dav_.put(path, contents.fd(), stagedSize(contents), {"If-None-Match: *"});
    if (response.status == 412) throw Refusal(Word::exists);
    return response;
  }
  ScratchUpload upload(dav_, uploadBeside(path, contents));
  auto response = dav_.move(upload.path(), path, false);
  if (response.status == 412) throw Refusal(Word::exists);
  if (response.ok()) upload.placed();
  return response;
}

ItemInfo RemoteDrive::createFolder(const std::string& parent, const std::string& name,
                                   const std::string& path) {
  auto lost = [&] {
    std::lock_guard lock(lostMutex_);
    return lostFolders_.count(path) > 0;
  };
  // A folder this drive made whose answer never came is its own: adopted, not a conflict.
  auto forget = [&] {
    std::lock_guard lock(lostMutex_);
    lostFolders_.erase(path);
  };
  auto taken = [&] {
    if (!lost() || !dav_.stat(path, true)) throw Refusal(Word::exists);
    forget();
    return recordNew(parent, name, true, path, 0);
  };
  if (!abilities().mkcolExclusive && dav_.stat(path, true)) return taken();
  auto response = dav_.mkcol(path);
  if (response.status == 0) {
    std::lock_guard lock(lostMutex_);
    lostFolders_.insert(path);
  }
  if (response.status == 405) return taken();
  // Apache answers 400 where a file has the name.
  if ((response.status == 400 || response.status == 409) && dav_.stat(path, false))
    throw Refusal(Word::exists);
  if (!response.ok()) refuseStatus(response);
  forget();
  return recordNew(parent, name, true, path, 0);
}

ItemInfo RemoteDrive::create(const std::string& parent, const std::string& name, bool dir,
                             StagedFile* contents) {
  requireWritable();
  // A scratch name would be dropped by the next poll and swept an hour later.
  if (!isValidName(name) || isScratchName(name)) throw Refusal(Word::badName);
  if (!dir && !contents) throw Refusal(Word::badRequest);
  std::string path;
  {
    std::lock_guard lock(mutex_);
    Node folder = existing(parent);
    if (!folder.dir) throw Refusal(Word::notDir);
    path = joined(pathOf(parent), name);
  }
  if (dir) return createFolder(parent, name, path);
  std::uint64_t size = stagedSize(*contents);
  HttpResponse response;
  try {
    response = placeNewFile(path, *contents);
  } catch (const Refusal& refusal) {
    // Sent again after the answer was lost: the file there holds these very bytes.
    if (refusal.word() != Word::exists || !holdsBytes(path, *contents)) throw;
    return recordNew(parent, name, false, path, size);
  }
  // A folder with the name: Apache and nginx answer 409, as for a missing parent.
  if ((response.status == 405 || response.status == 409) && dav_.stat(path, true))
    throw Refusal(Word::exists);
  if (!response.ok()) refuseStatus(response);
  return recordNew(parent, name, false, path, size);
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
    if (!isValidName(name) || isScratchName(name)) throw Refusal(Word::badName);
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
  // Sent again after the answer was lost: gone from here and there with the same kind. Servers
  // that look at the destination first say it is taken (412) rather than the source gone (404).
  auto arrived = [&] {
    auto there = dav_.stat(to, node.dir);
    return there && there->dir == node.dir && !dav_.stat(from, node.dir);
  };
  bool done = (response.status == 404 || response.status == 412) && arrived();
  if (response.status == 412 && !done) throw Refusal(Word::exists);
  // nginx answers a MOVE onto the other kind 409, as for a missing parent.
  if (response.status == 409 && dav_.stat(to, !node.dir)) throw Refusal(Word::exists);
  if (!response.ok() && !done) refuseStatus(response);
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

WriteOutcome RemoteDrive::write(const std::string& id, const std::optional<std::string>& base,
                                StagedFile& contents) {
  requireWritable();
  auto [node, path] = fileAndPath(id);
  if (base && *base == node.version) return replace(node, path, contents);
  // Sent again after its answer was lost, and a poll has seen it land meanwhile.
  if (holdsBytes(path, contents)) return recordWrite(id, path, stagedSize(contents));
  return keepConflict(node, contents);
}

// Whether the server still holds `node`'s version at `path`, established positively: by ETag
// where both sides have one, else by a HEAD's ETag against one recorded from a HEAD, else by
// size and modification time. Never by two missing ETags alone. `now` is what is there.
bool RemoteDrive::holdsBase(const Node& node, const std::string& path,
                            std::optional<Resource>& now) {
  now = dav_.stat(path, false);
  if (!now || now->dir) return false;
  if (!node.etag.empty() && !now->etag.empty())
    return strongPart(node.etag) == strongPart(now->etag);
  if (now->etag.empty()) {
    std::string tag = dav_.head(path).header("etag");
    if (!tag.empty() && !node.etag.empty()) return strongPart(tag) == strongPart(node.etag);
  }
  return now->mtime != 0 && now->size == node.size && now->mtime == node.mtime;
}

// Lock, check the base, write (in place, or a scratch upload moved over the file), unlock. The
// lock makes the check and the write one step: Apache checks If-Match and then writes, so two
// PUTs resting on one ETag could both pass its check, and nginx and rclone ignore If-Match
// altogether. Another writer's lock answers busy, so the host retries.
WriteOutcome RemoteDrive::replace(const Node& node, const std::string& path, StagedFile& contents) {
  Abilities found = abilities();
  std::uint64_t size = stagedSize(contents);
  // Sent before the lock is taken: the lock is held for the check and the move only.
  ScratchUpload upload(dav_, found.writesInPlace ? uploadBeside(path, contents) : "");
  std::optional<Resource> now;
  enum { written, stale, ours } outcome = written;
  {
    WriteLock lock(dav_, path);
    if (lock.madeTheFile()) {
      dav_.remove(path, false, {"If: (<" + lock.token() + ">)"});
      lock.release();
      refresh(node.id, path, std::nullopt);
      throw Refusal(Word::notFound);
    }
    if (!holdsBase(node, path, now))
      outcome = now && now->size == size && sameBytes(path, contents) ? ours : stale;
    if (outcome == written) {
      HttpResponse response;
      bool moved = false;
      if (!upload.path().empty()) {
        std::vector<std::string> held;
        if (!lock.token().empty())
          held.push_back(taggedLock(dav_.urlOf(path, false), lock.token()));
        response = dav_.move(upload.path(), path, false, true, held);
        if (response.ok()) upload.placed();
        // lighttpd refuses to MOVE onto a file locked even by the mover: the bytes go with a PUT
        // under the lock instead, which it writes whole.
        moved = !(response.status == 412 || response.status == 423) || lock.token().empty();
      }
      if (!moved) {
        std::vector<std::string> headers;
        if (!lock.token().empty()) headers.push_back("If: (<" + lock.token() + ">)");
        if (found.ifMatch && now && !now->etag.empty() && !isWeak(now->etag))
          headers.push_back("If-Match: " + now->etag);
        response = dav_.put(path, contents.fd(), size, headers);
      }
      if (response.status == 412)
        outcome = stale;
      else if (!response.ok())
        refuseStatus(response);
    }
  }
  if (outcome == stale) {
    refresh(node.id, path, now);
    return keepConflict(current(node.id), contents);
  }
  return recordWrite(node.id, path, size);
}

// The index takes the version now on the server as the item's new one.
WriteOutcome RemoteDrive::recordWrite(const std::string& id, const std::string& path,
                                      std::uint64_t size) {
  auto found = described(path, false);
  std::lock_guard lock(mutex_);
  ++generation_;
  RemoteIndex::Transaction transaction(index_);
  Node node = existing(id);
  node.version = index_.freshVersion();
  node.etag = found ? found->etag : "";
  node.size = found ? found->size : size;
  node.mtime = found ? found->mtime : static_cast<double>(std::time(nullptr));
  index_.update(node);
  index_.raiseAnchor();
  transaction.commit();
  return {info(node), false};
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
  // the last poll, or by this copy sent before with its answer lost, which is then kept).
  for (int attempt = 1; attempt <= kConflictAttempts; ++attempt) {
    unsigned number = freeConflictNumber(taken);
    std::string name = conflictName(current.name, number);
    std::string path = joined(folder, name);
    HttpResponse response;
    try {
      response = placeNewFile(path, contents);
    } catch (const Refusal& refusal) {
      if (refusal.word() != Word::exists) throw;
      if (!holdsBytes(path, contents)) {
        refused.insert(number);
        continue;
      }
      response.status = 201;
    }
    if (!response.ok()) refuseStatus(response);
    recordNew(current.parent, name, false, path, stagedSize(contents));
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
    // DELETE of a collection takes everything in it: only an empty one goes. Where listings
    // leave out dot-names, those the index holds count too (others' stay unseen).
    if (looksUpDotNames(abilities())) {
      std::lock_guard lock(mutex_);
      for (auto& child : index_.children(id))
        if (isDotName(child.name)) throw Refusal(Word::notEmpty);
    }
    auto listing = dav_.propfind(path, true, "1");
    if (listing.response.status == 207) {
      for (auto& resource : listing.resources) {
        if (resource.path != path) throw Refusal(Word::notEmpty);
        if (!resource.etag.empty() && !isWeak(resource.etag) && abilities().ifMatch)
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

}  // namespace QuorvelleDrive::companion::remote

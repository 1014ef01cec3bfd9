#include "companion/remote/server_abilities.h"

#include <sys/mman.h>

#include <random>
#include <stdexcept>
#include <thread>

#include "companion/fd.h"

namespace QuorvelleDrive::companion::remote {

namespace {

constexpr std::size_t kOldSize = 48 << 10;
constexpr std::size_t kNewSize = 128 << 10;
constexpr std::size_t kCutAt = 32 << 10;

std::string randomTag() {
  std::random_device device;
  return std::to_string(device()) + std::to_string(device());
}

UniqueFd bytesIn(const std::string& bytes) {
  UniqueFd fd(::memfd_create("quorvelle-probe", MFD_CLOEXEC));
  if (!fd.valid() ||
      ::write(fd.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    throw std::runtime_error("cannot hold the probe's bytes");
  return fd;
}

[[noreturn]] void failed(const char* what, const HttpResponse& response) {
  throw std::runtime_error(std::string(what) + ": " +
                           (response.status ? "HTTP " + std::to_string(response.status)
                                            : "no answer (" + response.error + ")"));
}

// The scratch folder, and whatever lock is held in it, go whatever the probe meets.
class Scratch {
 public:
  Scratch(Dav& dav, std::string folder) : dav_(dav), folder_(std::move(folder)) {
    auto made = dav_.mkcol(folder_);
    if (made.status != 201) {
      // No answer at all: the server may have made it all the same.
      if (made.status == 0) removeFolder();
      failed("cannot make a scratch folder", made);
    }
  }
  ~Scratch() {
    try {
      if (!token_.empty()) dav_.unlock(lockedPath_, token_);
    } catch (...) {
    }
    removeFolder();
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  const std::string& folder() const { return folder_; }
  void locked(const std::string& path, const std::string& token) {
    lockedPath_ = path;
    token_ = token;
  }
  void unlocked() { token_.clear(); }

 private:
  void removeFolder() {
    try {
      dav_.remove(folder_, true);
    } catch (...) {
    }
  }

  Dav& dav_;
  std::string folder_;
  std::string lockedPath_;
  std::string token_;
};

HttpResponse putBytes(Dav& dav, const std::string& path, const std::string& bytes,
                      std::vector<std::string> headers = {}) {
  auto fd = bytesIn(bytes);
  return dav.put(path, fd.get(), bytes.size(), std::move(headers));
}

// A PUT that dies after a quarter of its body, as a killed client's would: does the file keep
// its old bytes? A server may take a moment to act on the broken connection.
bool writesInPlace(Dav& dav, const std::string& file, const std::string& old) {
  auto fd = bytesIn(std::string(kNewSize, 'n'));
  HttpRequest cut{
      "PUT",   dav.urlOf(file, false), {"Content-Type: application/octet-stream"}, {}, fd.get(),
      kNewSize};
  cut.cutAfter = kCutAt;
  dav.perform(cut);
  for (int look = 0; look < 3; ++look) {
    auto got = dav.get(file, "");
    if (!got.ok() || got.body != old) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  return false;
}

// Whether a listing of the scratch folder shows a file named with a leading dot.
bool listsDotNames(Dav& dav, const std::string& folder) {
  const std::string dotted = folder + "/.d";
  if (auto put = putBytes(dav, dotted, "d"); !put.ok()) failed("cannot write a scratch file", put);
  auto listing = dav.propfind(folder, true, "1");
  if (listing.response.status != 207) failed("cannot list the scratch folder", listing.response);
  for (auto& resource : listing.resources)
    if (resource.path == dotted) return true;
  return false;
}

Etags etagKind(const std::optional<Resource>& file) {
  if (!file || file->etag.empty()) return Etags::none;
  return isWeak(file->etag) ? Etags::weak : Etags::strong;
}

}  // namespace

Rung Abilities::rung() const {
  if (etags != Etags::none) return Rung::propfindEtag;
  return headEtag ? Rung::headEtag : Rung::sizeAndTime;
}

Abilities leastAbilities() {
  return {};
}

const char* nameOf(Rung rung) {
  switch (rung) {
    case Rung::propfindEtag:
      return "the ETag from PROPFIND, checked under a lock";
    case Rung::headEtag:
      return "the ETag from HEAD, checked under a lock";
    case Rung::sizeAndTime:
      return "size and modification time, checked under a lock (blind to an edit that keeps "
             "the size within the same second)";
  }
  return "";
}

std::vector<std::string> describe(const Abilities& a) {
  auto said = [](bool yes, const char* a, const char* b) { return std::string(yes ? a : b); };
  const char* infinity = a.infinity == Infinity::allowed  ? "allowed"
                         : a.infinity == Infinity::capped ? "capped at one level (207)"
                                                          : "refused";
  const char* etags = a.etags == Etags::strong ? "strong"
                      : a.etags == Etags::weak ? "weak"
                                               : "none";
  return {
      std::string("Depth: infinity: ") + infinity +
          (a.infinity == Infinity::allowed ? "" : "; the tree is read one folder at a time"),
      std::string("ETags in PROPFIND: ") + etags + "; HEAD " +
          said(a.headEtag, "gives an ETag", "gives none"),
      "If-Match on PUT: " + said(a.ifMatch, "honoured", "ignored") +
          "; If-None-Match: " + said(a.ifNoneMatch, "honoured", "ignored"),
      "locks: " + said(a.locks, "yes", "none"),
      "folder ETags move with their contents: " + said(a.propagates, "yes", "no"),
      "a PUT cut short: " + said(a.writesInPlace,
                                 "leaves its bytes under the name, so uploads go to a hidden "
                                 "temporary name and are moved over the file",
                                 "leaves the old file"),
      "names beginning with a dot: " +
          said(a.listsDotNames, "listed",
               "left out of listings, so those the drive knows are looked up one by one"),
      std::string("write safety: ") + nameOf(a.rung()),
  };
}

// Exactly the names freshScratchName makes, so that a user's ".quorvelle-notes" is theirs.
bool isScratchName(const std::string& name) {
  for (const char* purpose : {"probe-", "upload-"}) {
    std::string prefix = std::string(kScratchPrefix) + purpose;
    if (name.size() > prefix.size() && name.rfind(prefix, 0) == 0 &&
        name.find_first_not_of("0123456789", prefix.size()) == std::string::npos)
      return true;
  }
  return false;
}

std::string freshScratchName(const char* purpose) {
  return std::string(kScratchPrefix) + purpose + "-" + randomTag();
}

Abilities probeServer(Dav& dav) {
  Abilities found;
  Scratch scratch(dav, freshScratchName("probe"));
  const std::string& folder = scratch.folder();
  found.mkcolExclusive = dav.mkcol(folder).status / 100 == 4;
  if (auto sub = dav.mkcol(folder + "/sub"); sub.status != 201)
    failed("cannot make a folder in the scratch folder", sub);
  auto before = dav.stat(folder, true);
  const std::string file = folder + "/sub/f";
  const std::string old(kOldSize, 'o');
  if (auto put = putBytes(dav, file, old); !put.ok()) failed("cannot write a scratch file", put);
  auto after = dav.stat(folder, true);
  found.propagates = before && after && !before->etag.empty() &&
                     strongPart(before->etag) != strongPart(after->etag);

  auto deep = dav.propfind(folder, true, "infinity");
  if (deep.response.status == 207) {
    bool whole = false;
    for (auto& resource : deep.resources) whole |= resource.path == file;
    found.infinity = whole ? Infinity::allowed : Infinity::capped;
  }
  found.etags = etagKind(dav.stat(file, false));
  found.headEtag = !dav.head(file).header("etag").empty();
  found.ifMatch =
      putBytes(dav, file, old, {"If-Match: \"quorvelle-no-such-version\""}).status == 412;
  found.ifNoneMatch = putBytes(dav, file, old, {"If-None-Match: *"}).status == 412;

  std::string token;
  auto locked = dav.lock(file, token);
  found.locks = locked.ok() && !token.empty();
  if (found.locks) {
    scratch.locked(file, token);
    dav.unlock(file, token);
    scratch.unlocked();
  }
  found.writesInPlace = writesInPlace(dav, file, old);
  found.listsDotNames = listsDotNames(dav, folder);
  return found;
}

}  // namespace QuorvelleDrive::companion::remote

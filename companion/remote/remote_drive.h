// The drive kept on a WebDAV server. Lookups and listings are answered from the index, which a
// poller keeps current; every change goes to the server first and reaches the index only once
// the server has taken it. A write replaces the server's file only once it has positively
// established, under a lock, that the file is still the version the write rests on (see
// server_abilities.h); otherwise the bytes become a conflict copy. Where the server writes a PUT
// in place, bytes go to a hidden temporary name and are moved over the file, so a body cut short
// never takes the user's name. A change whose answer was lost is recognised on the server when
// it is sent again, never turned into a copy the user did not make.
//
// The code is split along its jobs: remote_drive.cpp (start, lookups, reading, the server's
// abilities), remote_changes.cpp (create, rename, write, remove) and remote_poll.cpp (the crawl
// and its merge into the index).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>

#include "companion/backend.h"
#include "companion/fd.h"
#include "companion/remote/dav.h"
#include "companion/remote/remote_index.h"
#include "companion/remote/server_abilities.h"
#include "companion/remote/server_file.h"

namespace QuorvelleDrive::companion::remote {

struct RemoteOptions {
  std::string url;
  std::filesystem::path netrc;             // empty: no credentials
  std::chrono::milliseconds poll{15'000};  // zero: only when poll() is called
  std::filesystem::path state;             // empty: defaultStateDirectory(url)
  std::filesystem::path caFile;            // empty: the system's CA store
  // Where what was found about the server is published for `qdrive status` (JSON, rewritten
  // whenever it changes, removed when the drive goes); empty: nowhere.
  std::filesystem::path serverFile;
  std::function<void(const std::string& line)> log;  // empty: stderr
};

// The server's RFC 4331 figures for the drive's root, as of the latest poll.
struct Quota {
  std::uint64_t available = 0;
  std::uint64_t used = 0;
};

class RemoteDrive : public Backend {
 public:
  // Takes the state directory and opens the index; then, in the background, checks the
  // credentials once (logging a refusal or an unreachable server; neither is a failure: the
  // index answers until it is back) and polls.
  RemoteDrive(const RemoteOptions& options, bool readOnly);
  ~RemoteDrive() override;

  const Store& store() const override { return staging_; }
  // A staged body only exists to be sent; the server keeps what it takes.
  bool keepsStagedBodies() const override { return false; }
  bool readOnly() const override { return readOnly_; }

  ItemInfo item(const std::string& id) override;
  void read(const std::string& id, ContentsSink& sink) override;
  ItemInfo create(const std::string& parent, const std::string& name, bool dir,
                  StagedFile* contents) override;
  ItemInfo rename(const std::string& id, const std::string& parent,
                  const std::string& name) override;
  WriteOutcome write(const std::string& id, const std::optional<std::string>& base,
                     StagedFile& contents) override;
  void remove(const std::string& id) override;
  std::vector<ItemInfo> list(const std::string& id) override;
  std::vector<ItemInfo> all() override;
  std::uint64_t anchor() override;

  // One crawl of the server applied to the index; false when it could not be read whole or a
  // change of our own raced with it (the index then stays as it was).
  bool poll();
  const std::filesystem::path& stateDirectory() const { return state_; }
  std::uint64_t requestsSent() { return dav_.client().requests(); }
  // What the probe found (the least, until one has succeeded).
  Abilities abilities();
  Abilities probedAbilities();  // the same, without starting a probe
  std::optional<Quota> quota() const;

 private:
  using Entries = std::map<std::string, Resource>;  // by path: parents before children
  using Clock = std::chrono::steady_clock;

  void say(const std::string& line) const;
  void warnIfReadable(const std::filesystem::path& netrc) const;
  void checkCredentials();
  Node existing(const std::string& id) const;  // the caller holds mutex_
  Node current(const std::string& id) const;   // takes mutex_
  std::string pathOf(const std::string& id) const;
  // A file's entry and path as the index has them now; a folder is refused with isDir.
  std::pair<Node, std::string> fileAndPath(const std::string& id) const;
  ItemInfo info(const Node& node) const;
  double undatedRootTime() const;  // the caller holds mutex_
  void requireWritable() const;
  void refresh(const std::string& id, const std::string& path,
               const std::optional<Resource>& found);
  // Whether listings may leave out dot-names the index holds, which are then looked up one by
  // one. A read-only drive never probes and makes no names: it takes listings as they are.
  bool looksUpDotNames(const Abilities& abilities) const {
    return !readOnly_ && !abilities.listsDotNames;
  }
  const Node* nodeAt(const std::string& path) const;  // the caller holds mutex_

  // Changes (remote_changes.cpp).
  ItemInfo createFolder(const std::string& parent, const std::string& name,
                        const std::string& path);
  HttpResponse placeNewFile(const std::string& path, StagedFile& contents);
  std::optional<Resource> holdsBytes(const std::string& path, StagedFile& contents);
  bool sameBytes(const std::string& path, StagedFile& contents);
  WriteOutcome keepConflict(const Node& current, StagedFile& contents);
  WriteOutcome replace(const Node& node, const std::string& path, StagedFile& contents);
  bool holdsBase(const Node& node, const std::string& path, std::optional<Resource>& now);
  std::string uploadBeside(const std::string& path, StagedFile& contents);
  WriteOutcome recordWrite(const std::string& id, const std::string& path, std::uint64_t size);
  ItemInfo recordNew(const std::string& parent, const std::string& name, bool dir,
                     const std::string& path, std::uint64_t size);
  std::optional<Resource> described(const std::string& path, bool dir);

  // The crawl (remote_poll.cpp).
  std::optional<Entries> crawl(const Abilities& abilities);
  std::optional<Entries> crawlWhole();
  bool looksCut(const Entries& entries);
  std::optional<Entries> crawlByFolder(bool propagates, bool dotNames);
  bool crawlFolder(const std::string& folder, const std::unordered_map<std::string, Node>& known,
                   bool dotNames, Entries& entries, std::vector<std::string>& next);
  void lookUpDotNames(const std::string& folder, Entries& entries, std::vector<std::string>& next);
  void keepFromIndex(const std::string& id, const std::string& path, Entries& entries) const;
  void noteQuota(const Resource& root);
  void sweepScratch(const Entries& entries);
  void apply(const Entries& entries);
  bool mergeFolder(const std::string& id, const std::vector<Resource>& resources, bool dotNames);
  void pollLoop();

  bool readOnly_;
  double started_ = static_cast<double>(std::time(nullptr));
  std::function<void(const std::string&)> log_;
  std::filesystem::path state_;
  UniqueFd lock_;
  Store staging_;
  Dav dav_;
  ServerFile server_;
  mutable std::mutex mutex_;  // the index and the generation
  RemoteIndex index_;
  std::uint64_t generation_ = 0;  // rises with every change of our own

  std::mutex probeMutex_;  // the abilities and everything below
  std::optional<Abilities> abilities_;
  Clock::time_point nextProbe_{};
  std::chrono::seconds probeBackoff_;
  std::optional<Quota> quota_;
  mutable std::mutex quotaMutex_;
  std::mutex lostMutex_;
  std::set<std::string> lostFolders_;  // MKCOLs whose answer never came

  std::chrono::milliseconds pollInterval_;
  std::mutex pollMutex_;
  std::condition_variable pollWake_;
  bool stopping_ = false;
  std::thread poller_;  // last: starts once everything above exists; checks, then polls
};

}  // namespace QuorvelleDrive::companion::remote

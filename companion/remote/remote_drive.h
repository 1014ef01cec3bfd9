// The drive kept on a WebDAV server. Lookups and listings are answered from the index, which a
// poller keeps current; every change goes to the server first and reaches the index only once
// the server has taken it. Writes are conditional on the ETag of the version they rest on, so a
// change made meanwhile on another machine is never overwritten: it becomes a conflict copy.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "companion/backend.h"
#include "companion/fd.h"
#include "companion/remote/dav.h"
#include "companion/remote/remote_index.h"

namespace QuorvelleDrive::companion::remote {

struct RemoteOptions {
  std::string url;
  std::filesystem::path netrc;             // empty: no credentials
  std::chrono::milliseconds poll{15'000};  // zero: only when poll() is called
  std::filesystem::path state;             // empty: defaultStateDirectory(url)
};

class RemoteDrive : public Backend {
 public:
  // Takes the state directory, opens the index and starts polling; a server that is down at
  // start is no failure (the index answers until it is back).
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

 private:
  struct Capabilities {
    bool conditionalPut = false;  // PUT honours If-Match / If-None-Match
    bool propagates = false;      // a folder's ETag moves when anything below it changes
    bool mkcolExclusive = false;  // MKCOL of an existing folder fails (rclone's succeeds)
  };
  using Entries = std::map<std::string, Resource>;  // by path: parents before children

  const Capabilities& capabilities();
  Capabilities probe();
  Node existing(const std::string& id) const;  // the caller holds mutex_
  Node current(const std::string& id) const;   // takes mutex_
  std::string pathOf(const std::string& id) const;
  ItemInfo info(const Node& node) const;
  void requireWritable() const;
  std::string freshEtag(const std::string& id, const std::string& path);
  void refresh(const std::string& id, const std::string& path,
               const std::optional<Resource>& found);
  WriteOutcome keepConflict(const Node& current, StagedFile& contents);
  HttpResponse putNew(const std::string& path, StagedFile& contents);
  HttpResponse putLocked(const std::string& path, StagedFile& contents,
                         const std::string& expectedEtag, bool& stale);
  ItemInfo recordNew(const std::string& parent, const std::string& name, bool dir,
                     const std::string& path, const HttpResponse& put, std::uint64_t size);
  std::optional<Entries> crawl(bool propagates);
  bool crawlFolder(const std::string& folder, const std::unordered_map<std::string, Node>& known,
                   Entries& entries, std::vector<std::string>& next);
  void keepFromIndex(const std::string& id, const std::string& path, Entries& entries) const;
  void apply(const Entries& entries);
  bool mergeFolder(const std::string& id, const std::vector<Resource>& resources);
  void pollLoop();

  bool readOnly_;
  std::filesystem::path state_;
  UniqueFd lock_;
  Store staging_;
  Dav dav_;
  mutable std::mutex mutex_;  // the index and the generation
  RemoteIndex index_;
  std::uint64_t generation_ = 0;  // rises with every change of our own
  std::mutex probeMutex_;
  std::optional<Capabilities> capabilities_;
  std::atomic<bool> infinityRefused_{false};
  std::chrono::milliseconds pollInterval_;
  std::mutex pollMutex_;
  std::condition_variable pollWake_;
  bool stopping_ = false;
  std::thread poller_;  // last: starts once everything above exists
};

}  // namespace QuorvelleDrive::companion::remote

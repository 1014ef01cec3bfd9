// A domain presented as a folder through FUSE: a replicated host that keeps the local copies and
// drives the extension only through host calls.
#pragma once

#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "host_bridge.h"
#include "journal.h"

namespace QuorvelleDrive::fuse {

struct MountOptions {
  std::filesystem::path mountpoint;
  std::filesystem::path stateDirectory;  // the mount's own state (journal), created 0700
  std::chrono::milliseconds timeout{30'000};
  std::chrono::milliseconds poll{2'000};
  bool debug = false;
};

class MountedDomain {
 public:
  MountedDomain(std::shared_ptr<ReplicatedExtension> extension, MountOptions options);
  ~MountedDomain();

  // Mounts, serves until unmounted (or a signal), then flushes pending uploads for up to
  // `flushWait`. Returns 0 on a clean run. `onMounted` runs once the mount is live.
  int run(const std::function<void()>& onMounted = {},
          std::chrono::milliseconds flushWait = std::chrono::seconds(10));

  std::vector<PendingUpload> pendingUploads() const { return journal_.pending(); }

  // Request handlers; public so the C callbacks can reach them.
  struct Handlers;

 private:
  struct Node {
    fuse_ino_t ino = 0;
    ItemIdentifier id{""};
    ItemPtr item;
    fuse_ino_t parent = 0;  // 0 once the item is no longer in any known folder
    std::string name;
    std::uint64_t lookups = 0;
    bool folder = false;
    bool listed = false;
    std::map<std::string, fuse_ino_t> children;
    SyncAnchor anchor;
    std::filesystem::path contentFile;  // materialised copy of contentVersion
    std::string contentVersion;
    std::filesystem::path staged;  // local copy being written
    ItemVersion stagedBase;
    int writers = 0;
    bool dirty = false;
    bool deleted = false;            // removed through the mount: a late upload has nowhere to go
    std::uint64_t localChanges = 0;  // children changed here; a listing fetched before is stale
    std::optional<double> localMtime;
  };
  struct Handle {
    fuse_ino_t ino;
    int fd;
    bool writable;
  };
  struct Notice {
    enum Kind { Entry, Delete, Inode, Attributes } kind;
    fuse_ino_t parent;
    fuse_ino_t ino;
    std::string name;
  };

  friend struct Handlers;

  // Tree (call with mutex_ held unless noted).
  Node* find(fuse_ino_t ino);
  fuse_ino_t adopt(const ItemPtr& item, fuse_ino_t parent);
  void forgetIfUnused(fuse_ino_t ino);
  void noteLocalChange(fuse_ino_t folder);
  void applyListing(fuse_ino_t folder, SyncAnchor anchor, const std::vector<ItemPtr>& items,
                    std::vector<Notice>* notices);
  struct stat attributes(const Node& node) const;
  fuse_entry_param entryFor(Node& node);

  // Network steps; called without mutex_.
  int ensureListed(fuse_ino_t folder);
  int refresh(fuse_ino_t folder, bool notify);
  // Fetches the contents unless the node holds them locally; `fetchedNow` is set when it did.
  int materialise(fuse_ino_t ino, bool* fetchedNow = nullptr);
  // The contents to read, opened under mutex_, so that no later fetch or closing writer removes
  // the file first; the caller closes `*fd`.
  int openContents(fuse_ino_t ino, int* fd, bool* fetchedNow = nullptr);
  static int copyInto(int from, const std::filesystem::path& to);
  static int copyFile(const std::filesystem::path& from, const std::filesystem::path& to);
  // The bytes a read sees without asking the companion: staged, pending or fetched. Needs
  // mutex_, and the path is only good while it is held.
  std::optional<std::filesystem::path> localContents(const Node& node) const;
  static bool hasCurrentContents(const Node& node);
  void dropKernelAttributes(fuse_ino_t ino);
  int stageForWriting(fuse_ino_t ino, bool truncate, bool* fetchedNow = nullptr);
  int upload(fuse_ino_t ino);
  void retryPending();

  // A fresh path in the scratch folder for staged copies and materialised contents; the folder
  // is emptied at start and at the end of a run, since nothing in it is the only copy of data.
  std::filesystem::path scratchFile() const;
  // Moves an uploaded snapshot out of the journal into the scratch folder to serve reads.
  std::filesystem::path keepAsContent(const std::filesystem::path& snapshot) const;

  // Threads.
  void pollLoop();
  void noticeLoop();
  void post(std::vector<Notice> notices);

  HostBridge bridge_;
  MountOptions options_;
  Journal journal_;
  fuse_session* session_ = nullptr;

  mutable std::mutex mutex_;
  std::unordered_map<fuse_ino_t, Node> nodes_;
  std::map<ItemIdentifier, fuse_ino_t> byId_;
  fuse_ino_t nextIno_ = 2;
  std::unordered_map<std::uint64_t, Handle> handles_;
  std::uint64_t nextHandle_ = 1;
  struct DirEntry {
    std::string name;
    fuse_ino_t ino;
    mode_t mode;
  };
  std::unordered_map<std::uint64_t, std::vector<DirEntry>> listings_;

  std::mutex threadMutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::deque<Notice> notices_;
  std::thread poller_;
  std::thread noticer_;
};

}  // namespace QuorvelleDrive::fuse

// A domain presented as a folder through FUSE: a replicated host that keeps local changes
// locally and hands them to the extension later, so that the folder works like a local disk,
// offline too. Its parts, each in its own files: the inode table and listings
// (inode_table.h), the local copies (contents.cpp: fetches and writes), the outbox and its
// uploader (outbox.h, uploader.h), the poller (poller.cpp), the request handlers (fuse_ops.h),
// and what it keeps of its drive between runs in mount.db (mount_database.h): the contents
// cache (content_cache.h, kept_contents.cpp), pins and their keeper (pins.h, pin_keeper.cpp),
// times and modes set here (set_here.h), the last tree listed (saved_tree.h, offline_start.cpp)
// and the status attributes (status_xattrs.cpp).
#pragma once

#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "content_cache.h"
#include "drive_space.h"
#include "host_bridge.h"
#include "inode_table.h"
#include "mount_database.h"
#include "outbox.h"
#include "pins.h"
#include "saved_tree.h"
#include "set_here.h"
#include "uploader.h"

namespace QuorvelleDrive::fuse {

struct MountOptions {
  std::filesystem::path mountpoint;
  std::filesystem::path outbox;                 // pending changes and their bytes
  std::vector<std::filesystem::path> journals;  // what earlier versions left pending
  std::chrono::milliseconds timeout{30'000};
  std::chrono::milliseconds poll{2'000};
  bool debug = false;
  std::filesystem::path kept;  // the drive's state folder: mount.db and cache/
  CacheLimits cache;
  bool offline = false;             // no companion answered at start: the saved tree shows
  std::function<bool()> sameDrive;  // whether the companion answering serves this drive
  std::optional<DriveSpace> space;  // what df shows; none: room without end
};

// How a run ended.
enum class RunOutcome {
  unmounted,  // by fusermount3 -u, umount, or a signal (Ctrl-C)
  notMounted,
  failed,  // the request loop stopped with an error
};

class MountedDomain : private Uploader::Tree {
 public:
  MountedDomain(std::shared_ptr<ReplicatedExtension> extension, MountOptions options);
  ~MountedDomain() override;

  // Mounts, opens the outbox (after `onMounted`, which may daemonise), serves until unmounted
  // (or a signal), then sends what is pending for up to `flushWait`. Throws
  // std::runtime_error when the outbox cannot be read (the mount is gone by then).
  RunOutcome run(const std::function<void()>& onMounted = {},
                 std::chrono::milliseconds flushWait = std::chrono::seconds(10));

  // What is still pending, for the message at the end of a run.
  std::vector<Entry> pending() const;

  // Request handlers; public so the C callbacks can reach them.
  struct Handlers;

 private:
  struct Handle {
    fuse_ino_t ino;
    int fd;
    bool writable;
  };
  struct DirEntry {
    std::string name;
    fuse_ino_t ino;
    mode_t mode;
  };

  friend struct Handlers;

  // Needs mutex_.
  struct stat attributes(const Node& node) const;
  fuse_entry_param entryFor(Node& node);
  Place placeOf(const Node& node) const;
  static ItemVersion versionOf(const Node& node);
  // A node for something made here, under a provisional identifier, entered into `parent`.
  Node& makeLocal(fuse_ino_t parent, const std::string& name, const ItemIdentifier& id,
                  bool folder);
  // Removes a local copy that neither a node nor an entry has any more.
  void discard(const std::filesystem::path& local);

  // Listings (poller.cpp); called without mutex_.
  int ensureListed(fuse_ino_t folder);
  int refresh(fuse_ino_t folder, bool notify);

  // Contents (contents.cpp). Without mutex_ unless noted.
  // Whether the node's local copy is what it shows: its bytes are the item's current version,
  // or hold changes made here. Needs mutex_.
  bool hasLocalContents(const Node& node) const;
  bool holdsLocalChanges(const Node& node) const;
  // Makes the node hold local contents, fetched (one fetch at a time per item; concurrent
  // callers wait for it). `fetchedNow` is set when it fetched.
  int materialise(fuse_ino_t ino, bool* fetchedNow = nullptr);
  struct Copy {
    std::filesystem::path file;
    ItemPtr item;
    int err = 0;
  };
  // `size`: the item's size as last listed, which lengthens the wait for a large file.
  Copy fetchCopy(const ItemIdentifier& id, std::uint64_t size);
  // The local contents, opened under mutex_ so that no fetch replaces them first.
  int openContents(fuse_ino_t ino, int flags, int* fd, bool* fetchedNow = nullptr);
  // Local contents to write into, staged in the outbox folder: as materialise, or a fresh
  // empty file when truncating.
  int prepareForWriting(fuse_ino_t ino, bool truncate, bool* fetchedNow = nullptr);
  // Moves the node's local copy into the outbox folder, where changed bytes live. Needs mutex_.
  void stage(Node& node);
  // The node's local copy holds new bytes: the outbox has them (held while it has writers).
  // Needs mutex_; throws when the change cannot be recorded.
  void noteWritten(Node& node);
  // The last writer closed the file.
  void closeWriter(fuse_ino_t ino);
  // fsync: the bytes and the change that holds them reach the disk.
  int makeDurable(fuse_ino_t ino, int fd);
  static int copyInto(int from, const std::filesystem::path& to);
  void dropKernelAttributes(fuse_ino_t ino);

  // Kept contents (kept_contents.cpp), with mutex_ held.
  void openKept();
  // Serves the kept copy of the node's current version, when there is one.
  bool useKeptCopy(Node& node);
  // Keeps a fetched file as the node's clean copy (in the cache when it can be recorded).
  std::filesystem::path keep(Node& node, const std::filesystem::path& file, const ItemPtr& item);
  // A local copy in the outbox folder that no change needs any more joins the cache; an empty
  // stand-in for a truncation that was never recorded is dropped.
  void settle(Node& node);
  // A change to the node landed; `was` is the identifier it had (a provisional one for an item
  // made here): its pin and what was set on it here follow, and its bytes join the cache.
  void landedHere(Node& node, const ItemIdentifier& was);
  // Drops clean copies until `incoming` more bytes fit the bound.
  void makeRoom(std::int64_t incoming);
  // With the state folder (nearly) full, makes room for the database to record a change:
  // clean copies go first, then the reserve kept for this.
  void ensureRoomToRecord();
  // Sets the reserve aside again once there is plenty of room.
  void restoreReserve();
  bool isPinned(const Node& node) const;
  // The tree kept for an offline start takes what the mount learnt of `item` outside a listing
  // (a change of its landed, a fetch brought a newer version), so that it names the version
  // the cache holds even when the mount ends before the next listing.
  void keepInTree(const ItemPtr& item);
  // A removed item's kept copy, pin, settings and row in the kept tree go (descriptors still
  // open read on).
  void forgetKept(const Node& node);
  std::string contentVersionOf(const Node& node) const;
  // Records the times and mode a setattr set on the node (its `toSet` bits).
  void keepSetHere(const Node& node, int toSet, mode_t mode);
  // The mode a new file or folder was made with, unless it is the one shown anyway.
  void keepCreatedMode(const Node& node, mode_t mode);
  // What getxattr shows: cloud, cached, pinned, pending, uploading or parked: <reason>.
  std::string statusOf(const Node& node) const;

  // The keeper (pin_keeper.cpp): keeps the cache under its bound and pinned items fetched.
  void keeperLoop();
  void kickKeeper();
  void keepPinned();
  void pin(fuse_ino_t ino, bool pinned);
  int freeCopies(fuse_ino_t ino);
  // Files under `ino` (itself when a file), listing folders as it goes.
  std::vector<fuse_ino_t> filesUnder(fuse_ino_t ino);

  // Offline start (offline_start.cpp).
  void showSavedTree();
  void noteReachable(bool reachable);

  // Threads (poller.cpp).
  void pollLoop();
  void pollOnce();
  void noticeLoop();
  void post(std::vector<Notice> notices);

  // Uploader::Tree (outbox_tree.cpp), with mutex_ held.
  void created(const ItemIdentifier& provisional, const ItemPtr& item) override;
  void modified(const ItemIdentifier& id, const ItemPtr& item, bool fetchAgain) override;
  void changedIn(const ItemIdentifier& folder) override;
  void placed(const ItemIdentifier& id, const Place& place) override;
  std::optional<ItemIdentifier> parentOf(const ItemIdentifier& folder) override;
  bool taken(const ItemIdentifier& folder, const std::string& name) override;
  void relist(const ItemIdentifier& folder) override;
  void unused(const std::vector<std::string>& data) override;

  void finish(std::chrono::milliseconds flushWait);

  HostBridge bridge_;
  MountOptions options_;
  fuse_session* session_ = nullptr;

  mutable std::mutex mutex_;
  std::condition_variable fetchDone_;  // with mutex_
  InodeTable table_;
  std::unique_ptr<Outbox> outbox_;  // opened by run()
  std::unique_ptr<MountDatabase> database_;
  std::unique_ptr<ContentCache> cache_;
  std::unique_ptr<Pins> pins_;
  std::unique_ptr<SetHere> setHere_;
  std::unique_ptr<SavedTree> savedTree_;
  bool treeShown_ = false;  // the saved tree was laid out
  std::optional<bool> reachable_;
  std::unique_ptr<Uploader> uploader_;  // with mutex_ for the outbox and the table
  std::unordered_map<std::uint64_t, Handle> handles_;
  std::uint64_t nextHandle_ = 1;
  std::unordered_map<std::uint64_t, std::vector<DirEntry>> listings_;

  std::mutex threadMutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::deque<Notice> notices_;
  std::thread poller_;
  std::thread noticer_;
  bool keeperKicked_ = false;  // with threadMutex_
  std::thread keeper_;
};

}  // namespace QuorvelleDrive::fuse

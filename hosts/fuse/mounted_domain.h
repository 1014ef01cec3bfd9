// A domain presented as a folder through FUSE: a replicated host that keeps the local copies and
// drives the extension only through host calls. Its parts: the inode table (inode_table.h), the
// contents (contents.cpp: fetches, local copies, uploads), the poller (poller.cpp) and the
// request handlers (fuse_ops.h).
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

#include "host_bridge.h"
#include "inode_table.h"
#include "journal.h"

namespace QuorvelleDrive::fuse {

struct MountOptions {
  std::filesystem::path mountpoint;
  std::filesystem::path journal;  // pending uploads, kept across runs
  std::filesystem::path scratch;  // local copies, which the caller empties between runs
  std::chrono::milliseconds timeout{30'000};
  std::chrono::milliseconds poll{2'000};
  bool debug = false;
};

// How a run ended.
enum class RunOutcome {
  unmounted,  // by fusermount3 -u, umount, or a signal (Ctrl-C)
  notMounted,
  failed,  // the request loop stopped with an error
};

class MountedDomain {
 public:
  MountedDomain(std::shared_ptr<ReplicatedExtension> extension, MountOptions options);
  ~MountedDomain();

  // Mounts, serves until unmounted (or a signal), then flushes pending uploads for up to
  // `flushWait`. `onMounted` runs once the mount is live.
  RunOutcome run(const std::function<void()>& onMounted = {},
                 std::chrono::milliseconds flushWait = std::chrono::seconds(10));

  std::vector<PendingUpload> pendingUploads() const { return journal_.pending(); }

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

  // Listings (poller.cpp); called without mutex_.
  int ensureListed(fuse_ino_t folder);
  int refresh(fuse_ino_t folder, bool notify);

  // Contents (contents.cpp). Without mutex_ unless noted.
  // Whether the node's local copy is what it shows: its bytes are the item's current version,
  // or hold changes made here. Needs mutex_.
  bool hasLocalContents(const Node& node) const;
  bool holdsLocalChanges(const Node& node) const;
  // Makes the node hold local contents: fetched (one fetch at a time per item; concurrent
  // callers wait for it), or copied from a pending upload. `fetchedNow` is set when it fetched.
  int materialise(fuse_ino_t ino, bool* fetchedNow = nullptr);
  struct Copy {
    std::filesystem::path file;
    ItemPtr item;
    ItemVersion base;
    int err = 0;
  };
  // A fresh copy of the item's bytes: fetched, or from its pending upload. Without mutex_.
  Copy fetchCopy(const ItemIdentifier& id, const std::optional<PendingUpload>& pending);
  // The local contents, opened under mutex_ so that no fetch replaces them first.
  int openContents(fuse_ino_t ino, int flags, int* fd, bool* fetchedNow = nullptr);
  // Local contents to write into: as materialise, or a fresh empty copy when truncating.
  int prepareForWriting(fuse_ino_t ino, bool truncate, bool* fetchedNow = nullptr);
  static int copyInto(int from, const std::filesystem::path& to);
  static int copyFile(const std::filesystem::path& from, const std::filesystem::path& to);
  void dropKernelAttributes(fuse_ino_t ino);
  // Sends a copy of the local contents as the item's new contents when they changed. A failed
  // upload stays in the journal; only a copy that cannot be kept is an error (ENOSPC, say).
  int upload(fuse_ino_t ino);
  void retryPending();
  // Uploads local changes that no writer holds and no journal entry has (their upload could not
  // even be kept, as with a full state folder).
  void uploadLeftovers();
  // A fresh path in the scratch folder for local copies.
  std::filesystem::path scratchFile() const;

  // Threads (poller.cpp).
  void pollLoop();
  void pollOnce(std::chrono::steady_clock::time_point& nextRetry, std::chrono::seconds& backoff);
  void noticeLoop();
  void post(std::vector<Notice> notices);

  HostBridge bridge_;
  MountOptions options_;
  Journal journal_;
  fuse_session* session_ = nullptr;

  mutable std::mutex mutex_;
  std::condition_variable fetchDone_;  // with mutex_
  InodeTable table_;
  std::unordered_map<std::uint64_t, Handle> handles_;
  std::uint64_t nextHandle_ = 1;
  std::unordered_map<std::uint64_t, std::vector<DirEntry>> listings_;

  std::mutex threadMutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::deque<Notice> notices_;
  std::thread poller_;
  std::thread noticer_;
};

}  // namespace QuorvelleDrive::fuse

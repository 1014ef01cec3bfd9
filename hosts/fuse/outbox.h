// The outbox: every local change the companion has yet to take, kept in the mount's state
// folder until the companion's answer is recorded.
//
// Entries live in SQLite (WAL, synchronous=NORMAL): each change is recorded before the request
// that made it is answered and survives the mount being killed, at no fsync of its own;
// makeDurable() syncs them all for an fsync. The bytes of a changed file are its staged copy in
// the same folder, which is also the file's local copy, so nothing is copied per upload.
//
// A change to an item whose entry has not gone out merges into that entry (create + writes +
// renames make one creation; rewrites keep the last bytes; create … delete leaves nothing), so
// each item has at most one entry on its way and one waiting behind it. A file or folder made
// here has a provisional identifier until its creation lands; such identifiers start with a
// byte no UTF-8 text holds, so they can never be mistaken for the companion's, and entries that
// need one wait until the companion's identifier has replaced it everywhere.
//
// Not thread-safe: the mount holds its lock around every call.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "boundaries/file_provider_item.h"

namespace QuorvelleDrive::fuse {

class Database;
class Statement;

enum class Change { create = 1, modify = 2, remove = 3 };
// queued: not gone out, or refused outright; sent: gone out, answer not recorded (it may have
// landed); parked: refused for a reason that retrying does not mend.
enum class Stage { queued = 0, sent = 1, parked = 2 };

struct Place {
  ItemIdentifier parent{""};
  std::string name;
  friend bool operator==(const Place&, const Place&) = default;
};

struct Entry {
  std::int64_t seq = 0;
  Change change = Change::create;
  ItemIdentifier item{""};  // the companion's identifier, or a provisional one
  bool folder = false;
  bool contents = false;  // carries new bytes (every file creation does)
  Place place;            // where the item is to be
  Place origin;           // where the companion has it (modify, remove)
  ItemVersion base;       // modify: the version the bytes rest on; remove: the one last seen
  std::string data;       // the staged bytes: a file name in the outbox folder
  Stage stage = Stage::queued;
  int attempts = 0;
  std::string error;           // why the last attempt failed, for people
  std::int64_t sentSize = -1;  // the staged file as it was when it last went out
  std::int64_t sentMtime = -1;
  std::int64_t sentAt = 0;  // seconds since 1970
  // Kept in memory only.
  bool held = false;      // a writer still has the file open: its bytes are not final
                          // (recorded too, for `qdrive status`)
  bool busy = false;      // a call or a check is on its way
  bool checked = false;   // looked for on the companion this run; may go without another look
  std::string detour;     // on its way to this name first, to break a ring of renames
  std::int64_t size = 0;  // bytes in flight
  std::chrono::steady_clock::time_point notBefore{};  // looked at again no sooner
  std::chrono::steady_clock::time_point made = std::chrono::steady_clock::now();

  bool moves() const { return change == Change::modify && place != origin; }
  // The fields a modification changes.
  ItemFields fields() const;
};

// Why an entry cannot go out yet.
enum class Wait { none, earlierChange, parent, name, folderContents };

class Outbox {
 public:
  // Opens the outbox in `folder` (made 0700 when missing) and loads its entries; adopts the
  // uploads that earlier versions left pending in `journals` (each folder is removed once
  // empty); then removes staged files that no entry names. Throws std::runtime_error naming
  // what went wrong.
  explicit Outbox(std::filesystem::path folder,
                  const std::vector<std::filesystem::path>& journals = {});
  ~Outbox();
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  static ItemIdentifier provisionalIdentifier();
  static bool isProvisional(const ItemIdentifier& id);
  // A fresh name for staged bytes, and where such a name lives.
  static std::string freshDataName();
  std::filesystem::path pathOf(const std::string& data) const { return folder_ / data; }
  const std::filesystem::path& folder() const { return folder_; }

  // Local changes. Each is recorded before it returns; failures throw (ENOSPC for a full disk).
  void created(const ItemIdentifier& item, bool folder, const Place& at, const std::string& data,
               bool held);
  // New bytes for `item` at `at` in the staged file `data`, resting on `base`.
  void contentsChanged(const ItemIdentifier& item, const Place& at, const ItemVersion& base,
                       const std::string& data, bool held);
  void moved(const ItemIdentifier& item, bool folder, const Place& from, const Place& to);
  void removed(const ItemIdentifier& item, bool folder, const Place& from,
               const ItemVersion& lastSeen);
  // The last writer of `item` closed it: its entries may go out.
  void released(const ItemIdentifier& item);
  // Every writer is gone (the mount ends).
  void releaseAll();
  // Records what released() and releaseAll() noted in memory; the uploader calls it in its own
  // batch, so that a last close costs no write of its own.
  void recordReleases();
  // Everything recorded so far reaches the disk before this returns (for fsync).
  void makeDurable();

  // What listings must show. `placement` is nothing when no change is pending for the item,
  // else where the pending changes put it (nothing inside when they remove it).
  std::optional<std::optional<Place>> placement(const ItemIdentifier& item) const;
  struct Pin {
    ItemIdentifier item;
    std::string name;
    bool folder;
    std::string data;  // staged bytes, when the pending changes carry some
    ItemVersion base;
  };
  // Items that pending changes put into `folder`.
  std::vector<Pin> placedIn(const ItemIdentifier& folder) const;
  // Whether pending changes carry new bytes for `item` (the local copy is then the only one).
  bool holdsContents(const ItemIdentifier& item) const;
  // Whether some entry names the staged file `data`.
  bool names(const std::string& data) const;

  const std::map<std::int64_t, Entry>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }

  // Changes between begin() and commit() share one transaction (Batch does both).
  void begin();
  void commit();
  class Batch {
   public:
    explicit Batch(Outbox& outbox) : outbox_(outbox) { outbox_.begin(); }
    // Left early (an exception): what was recorded so far is kept, as memory has it too.
    ~Batch() {
      if (done_) return;
      try {
        outbox_.commit();
      } catch (...) {
      }
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    void commit() {
      done_ = true;
      outbox_.commit();
    }

   private:
    Outbox& outbox_;
    bool done_ = false;
  };

  // The uploader's side.
  Entry* find(std::int64_t seq);
  Wait waitOf(const Entry& entry) const;
  // The entry that keeps `entry` waiting for its name, if any.
  const Entry* nameHolder(const Entry& entry) const;
  // Records a change to `entry`'s stage, error, attempts or stamps.
  void record(Entry& entry);
  // Changes anything else about `entry` (its place, kind, data) and records it.
  void change(Entry& entry, const std::function<void(Entry&)>& edit);
  // The companion took `seq`: its identifier (for a creation) replaces the provisional one
  // everywhere, and later entries of the item rest on `version` unless the companion kept
  // its own bytes (`restored`). Returns staged files that no entry names any more.
  std::vector<std::string> landed(std::int64_t seq, const ItemIdentifier& id,
                                  const ItemVersion& version, bool restored);
  // Forgets `seq` unsent. Returns its staged file when no other entry names it.
  std::vector<std::string> drop(std::int64_t seq);
  // A note about the companion for `qdrive status` (empty clears it). Kept across runs until
  // cleared; costs nothing when it holds that note already.
  void setCompanionProblem(const std::string& problem);

  // What `qdrive status` shows, read from the outbox folder by another process.
  struct Snapshot {
    std::vector<Entry> entries;
    std::string companionProblem;
  };
  static Snapshot read(const std::filesystem::path& folder);

 private:
  void open();
  void load();
  void adoptJournal(const std::filesystem::path& journal);
  void removeStrays() const;
  std::int64_t append(Entry entry);
  void recordHeld(const Entry& entry);
  Entry* mergeable(const ItemIdentifier& item);
  void save(Entry& entry);
  void erase(std::int64_t seq, std::vector<std::string>* freed);
  void index(const Entry& entry);
  void unindex(const Entry& entry);
  void replaceIdentifier(const ItemIdentifier& from, const ItemIdentifier& to);
  void refreshPlacement(const ItemIdentifier& item);

  std::filesystem::path folder_;
  std::unique_ptr<Database> db_;
  std::unique_ptr<Statement> saveStatement_;
  std::unique_ptr<Statement> eraseStatement_;
  std::unique_ptr<Statement> holdStatement_;
  std::unique_ptr<Statement> unholdStatement_;
  std::string companionProblem_;
  int batchDepth_ = 0;

  std::map<std::int64_t, Entry> entries_;
  std::int64_t nextSeq_ = 1;
  // Indexes over entries_.
  std::unordered_map<ItemIdentifier, std::vector<std::int64_t>> byItem_;  // ascending
  std::unordered_map<ItemIdentifier, std::set<std::int64_t>> mentions_;   // item or a parent
  std::map<std::pair<ItemIdentifier, std::string>, std::set<std::int64_t>> origins_;
  std::unordered_map<ItemIdentifier, std::set<std::int64_t>> originParents_;
  std::unordered_map<std::string, int> dataNames_;
  // Entries recorded as held, and those released since that was last recorded.
  std::unordered_set<std::int64_t> heldRows_;
  std::vector<std::int64_t> released_;
  // The latest placement of each item with pending changes, and its inverse.
  std::unordered_map<ItemIdentifier, std::optional<Place>> placements_;
  std::unordered_map<ItemIdentifier, std::set<ItemIdentifier>> placedIn_;
};

}  // namespace QuorvelleDrive::fuse

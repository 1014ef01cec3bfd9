// Sends the outbox to the companion.
//
// An entry goes out as soon as nothing it depends on is pending (its parent's creation, an
// earlier change to the same item, the removal or move that frees its name, the items that
// still keep a folder from being empty), at most kMaxCalls at once and kMaxBytes of contents in
// flight (a larger file goes alone), through the extension's concurrent queue. Each answer
// arrives through the extension's completion handler, which it calls exactly once, and is
// recorded before anything that depends on it goes out; until then the entry stays "sent", so
// no later change to the item can overtake it. An entry that may have reached the companion
// without its answer being recorded (a failure on the way, a crash) is looked for before it is
// sent again, so replays never make doubles.
//
// Only "unreachable" (the companion down, "offline", "busy") is retried: the first such answer
// closes a gate, and one entry at a time probes it with backoff, or as soon as the poller
// reaches the companion again. Other answers are settled here: a taken name keeps both (the
// local item moves to a free name), a parent that vanished gives way to its nearest surviving
// ancestor, an item deleted meanwhile is created afresh, a folder that filled up on the
// companion stays; no space and refused access, which can pass by themselves, wait and are
// tried again with a long backoff and at every start; anything else parks the entry (and so
// whatever depends on it) with its error for `qdrive status`, its bytes kept.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host_bridge.h"
#include "outbox.h"

namespace QuorvelleDrive::fuse {

class Uploader {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kMaxCalls = 12;
  static constexpr std::int64_t kMaxBytes = 512ll << 20;
  // While changes keep arriving (a copy, a checkout), entries younger than kMaxHold wait until
  // the mount has been quiet for kSettle: uploads then stop competing with the writes for the
  // machine's cores, and a burst returns at local speed and lands right after it.
  static constexpr auto kSettle = std::chrono::milliseconds(150);
  static constexpr auto kMaxHold = std::chrono::seconds(2);

  // What the uploader tells, and asks of, the tree it serves; always called with its lock held.
  class Tree {
   public:
    virtual ~Tree() = default;
    // The creation made under `provisional` landed as `item`.
    virtual void created(const ItemIdentifier& provisional, const ItemPtr& item) = 0;
    // A modification landed; `fetchAgain` when the companion kept its own bytes.
    virtual void modified(const ItemIdentifier& id, const ItemPtr& item, bool fetchAgain) = 0;
    // A change landed in `folder`: a listing of it asked for earlier may predate it.
    virtual void changedIn(const ItemIdentifier& folder) = 0;
    // The uploader gave `id` another place (a free name, a surviving ancestor).
    virtual void placed(const ItemIdentifier& id, const Place& place) = 0;
    virtual std::optional<ItemIdentifier> parentOf(const ItemIdentifier& folder) = 0;
    virtual bool taken(const ItemIdentifier& folder, const std::string& name) = 0;
    // A removal that did not happen: `folder` is listed again, so the item shows again.
    virtual void relist(const ItemIdentifier& folder) = 0;
    // Staged files that no entry names any more.
    virtual void unused(const std::vector<std::string>& data) = 0;
  };

  // `lock` guards `outbox` and `tree`.
  Uploader(const HostBridge& bridge, Outbox& outbox, std::mutex& lock, Tree& tree);
  ~Uploader();
  Uploader(const Uploader&) = delete;
  Uploader& operator=(const Uploader&) = delete;

  void start();
  // Something changed in the outbox: look for entries that may go.
  void kick();
  // The companion answered someone: a closed gate is probed now.
  void companionSeen();
  // Waits until the outbox is empty (true) or `deadline` passes (false).
  bool drain(std::chrono::steady_clock::time_point deadline);
  // Stops sending; answers still on their way are dropped, their entries stay "sent".
  void stop();

  // What a check of an entry concluded.
  struct Verdict {
    enum Kind { landed, fill, send, rename, reparent, drop, recreate, retry, park };
    Verdict(Kind k = send, ItemPtr found = nullptr, std::optional<Error> why = std::nullopt)
        : kind(k), item(std::move(found)), error(std::move(why)) {}
    Kind kind;
    ItemPtr item;
    std::optional<Error> error;
  };

 private:
  struct Event {
    std::int64_t seq = 0;
    std::optional<Outcome<Changed>> answer;
    std::optional<Verdict> verdict;
  };
  // Shared with completion handlers, so that a late answer finds it alive.
  struct Inbox {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Event> events;
    bool kicked = false;
    bool seen = false;
    bool stopping = false;
  };
  struct Call {
    Entry entry;  // a copy, for use without the lock
    bool check = false;
  };

  void loop();
  void checkLoop();
  void pick(std::vector<Call>& calls);
  void unpick(std::vector<Call>& calls);
  bool mayGo(Entry& entry);
  void issue(const Call& call);
  void settle(Event& event);
  void answered(Entry& entry, Outcome<Changed>& answer);
  void judged(Entry& entry, Verdict& verdict);
  void land(Entry& entry, const ItemPtr& item, bool fetchAgain);
  void park(Entry& entry, const Error& error);
  void moveTo(Entry& entry, const Place& place);
  Place freePlace(const Entry& entry);
  std::optional<Place> ancestorPlace(const Entry& entry);
  void closeGate(const Error& error);
  void openGate();
  Verdict check(const Entry& entry) const;
  bool sameBytes(const Entry& entry, const ItemPtr& found) const;

  const HostBridge& bridge_;
  Outbox& outbox_;
  std::mutex& lock_;
  Tree& tree_;
  std::shared_ptr<Inbox> inbox_ = std::make_shared<Inbox>();
  std::atomic<Clock::rep> lastChange_{0};  // when kick() was last called
  std::atomic<bool> draining_{false};

  // Under lock_.
  int calls_ = 0;
  std::int64_t bytes_ = 0;
  bool open_ = true;
  bool probing_ = false;
  Clock::time_point retryAt_{};
  std::chrono::milliseconds backoff_{500};
  Clock::time_point nextLook_{};  // the earliest notBefore that pick() passed over

  std::mutex checkMutex_;
  std::condition_variable checkWake_;
  std::deque<Entry> checks_;
  bool checkStopping_ = false;

  std::thread thread_;
  std::thread checker_;
};

// `name (conflict N).ext`, shortened to fit 255 bytes; a name that already ends so counts on.
std::string conflictName(const std::string& name, unsigned number);
// The number a conflict name carries (0 for other names).
unsigned conflictNumber(const std::string& name);

}  // namespace QuorvelleDrive::fuse

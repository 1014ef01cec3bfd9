#include "uploader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <set>
#include <utility>

#include "boundaries/file_provider_error.h"
#include "inode_table.h"
#include "park_reason.h"
#include "platform/content_type.h"

namespace QuorvelleDrive::fuse {
namespace {

constexpr auto kMaxBackoff = std::chrono::seconds(8);
// Refusals that can pass by themselves (space freed, a password mended) are tried again after
// this, doubling with each try up to the most, and at every start.
constexpr auto kPassableFirst = std::chrono::seconds(15);
constexpr auto kPassableMost = std::chrono::minutes(15);
// A creation refused with "exists" after an attempt that got no answer is looked at again this
// many times (a second apart, then two…) before it keeps both.
constexpr int kNameRechecks = 4;
// A removal that has waited longer than this (offline, or behind other entries) is checked
// against the companion before it goes: deletions carry no version to be refused on.
constexpr auto kRemovalCheckAfter = Uploader::kMaxHold + std::chrono::seconds(1);

bool is(const Error& error, long code) {
  return error.domain() == kFileProviderErrorDomain && error.code() == code;
}

bool unreachable(const Error& error) {
  return is(error, FileProviderError::serverUnreachable);
}

std::string describeError(const Error& error) {
  std::string what;
  if (error.domain() == kFileProviderErrorDomain) {
    switch (error.code()) {
      case FileProviderError::serverUnreachable:
        what = "the companion is unreachable, offline or busy";
        break;
      case FileProviderError::noSuchItem:
        what = "no such item";
        break;
      case FileProviderError::filenameCollision:
        what = "the name is taken";
        break;
      case FileProviderError::directoryNotEmpty:
        what = "the folder is not empty";
        break;
      case FileProviderError::insufficientQuota:
        what = "the companion has no space left";
        break;
      case FileProviderError::excludedFromSync:
        what = "excluded from sync";
        break;
      default:
        what = "the companion could not take it";
    }
  } else if (error.domain() == kCocoaErrorDomain) {
    switch (error.code()) {
      case CocoaError::fileWriteNoPermission:
        what = "not allowed";
        break;
      case CocoaError::fileWriteOutOfSpace:
        what = "too big for the companion";
        break;
      case CocoaError::fileReadNoSuchFile:
        what = "the staged bytes are missing";
        break;
      default:
        what = "a file error";
    }
  } else {
    what = "an error";
  }
  return what + " (" + error.domain() + " " + std::to_string(error.code()) + ")";
}

bool passable(const Error& error) {
  return is(error, FileProviderError::insufficientQuota) ||
         (error.domain() == kCocoaErrorDomain && error.code() == CocoaError::fileWriteNoPermission);
}

// Entries that earlier runs parked for such a refusal, known by the words describeError gave.
bool parkedPassably(const Entry& e) {
  return e.stage == Stage::parked &&
         (e.error.find("(" + std::string(kFileProviderErrorDomain) + " -1003)") !=
              std::string::npos ||
          e.error.find("(" + std::string(kCocoaErrorDomain) + " 513)") != std::string::npos);
}

std::string clockTime(std::chrono::system_clock::time_point when) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

std::pair<std::int64_t, std::int64_t> stampOf(const std::filesystem::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return {-1, -1};
  return {st.st_size, st.st_mtim.tv_sec * 1'000'000'000ll + st.st_mtim.tv_nsec};
}

bool sameFiles(const std::filesystem::path& a, const std::filesystem::path& b) {
  int fa = ::open(a.c_str(), O_RDONLY | O_CLOEXEC);
  int fb = ::open(b.c_str(), O_RDONLY | O_CLOEXEC);
  bool same = fa >= 0 && fb >= 0;
  std::vector<char> x(1 << 16), y(1 << 16);
  while (same) {
    ssize_t n = ::read(fa, x.data(), x.size());
    ssize_t m = n > 0 ? ::read(fb, y.data(), static_cast<size_t>(n)) : ::read(fb, y.data(), 1);
    if (n < 0 || m != std::max<ssize_t>(n, 0) || (n > 0 && std::memcmp(x.data(), y.data(), n)))
      same = false;
    if (n <= 0) break;
  }
  if (fa >= 0) ::close(fa);
  if (fb >= 0) ::close(fb);
  return same;
}

// At most `limit` bytes of `text`, cut before a UTF-8 sequence rather than inside one.
std::string cutTo(const std::string& text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace

unsigned conflictNumber(const std::string& name) {
  auto extension = std::filesystem::path(name).extension().string();
  std::string stem = name.substr(0, name.size() - extension.size());
  auto open = stem.rfind(" (conflict ");
  if (open == std::string::npos || stem.back() != ')') return 0;
  auto digits = stem.substr(open + 11, stem.size() - open - 12);
  if (digits.empty() || digits.size() > 6 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return 0;
  return static_cast<unsigned>(std::stoul(digits));
}

std::string conflictName(const std::string& name, unsigned number) {
  auto extension = std::filesystem::path(name).extension().string();
  std::string stem = name.substr(0, name.size() - extension.size());
  if (conflictNumber(name)) stem = stem.substr(0, stem.rfind(" (conflict "));
  std::string tag = " (conflict " + std::to_string(number) + ")";
  if (extension.size() + tag.size() > 128) extension.clear(), stem = name;
  return cutTo(stem, 255 - tag.size() - extension.size()) + tag + extension;
}

Uploader::Uploader(const HostBridge& bridge, Outbox& outbox, std::mutex& lock, Tree& tree)
    : bridge_(bridge), outbox_(outbox), lock_(lock), tree_(tree) {}

Uploader::~Uploader() {
  stop();
}

void Uploader::start() {
  {
    std::lock_guard lock(lock_);
    for (auto& [seq, e] : outbox_.entries())
      if (parkedPassably(e)) {
        Entry& entry = *outbox_.find(seq);
        entry.stage = Stage::queued;
        outbox_.record(entry);
      }
  }
  thread_ = std::thread(&Uploader::loop, this);
  checker_ = std::thread(&Uploader::checkLoop, this);
  kick();  // what an earlier run left goes without waiting for a change
}

void Uploader::kick() {
  lastChange_ = Clock::now().time_since_epoch().count();
  {
    std::lock_guard lock(inbox_->mutex);
    inbox_->kicked = true;
  }
  inbox_->wake.notify_one();
}

void Uploader::companionSeen() {
  {
    std::lock_guard lock(inbox_->mutex);
    inbox_->seen = true;
  }
  inbox_->wake.notify_one();
}

bool Uploader::drain(Clock::time_point deadline) {
  draining_ = true;
  companionSeen();
  while (true) {
    {
      std::lock_guard lock(lock_);
      if (outbox_.empty()) return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void Uploader::stop() {
  {
    std::lock_guard lock(inbox_->mutex);
    inbox_->stopping = true;
  }
  inbox_->wake.notify_all();
  {
    std::lock_guard lock(checkMutex_);
    checkStopping_ = true;
  }
  checkWake_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (checker_.joinable()) checker_.join();
}

void Uploader::loop() {
  std::unique_lock lock(inbox_->mutex);
  while (true) {
    auto ready = [&] {
      return inbox_->stopping || inbox_->kicked || inbox_->seen || !inbox_->events.empty();
    };
    Clock::time_point retryAt;
    {
      lock.unlock();
      {
        std::lock_guard tree(lock_);
        retryAt = !open_ ? retryAt_ : nextLook_;
      }
      lock.lock();
    }
    if (retryAt != Clock::time_point{})
      inbox_->wake.wait_until(lock, retryAt, ready);
    else
      inbox_->wake.wait(lock, ready);
    if (inbox_->stopping) return;
    std::deque<Event> events;
    events.swap(inbox_->events);
    bool seen = std::exchange(inbox_->seen, false);
    inbox_->kicked = false;
    lock.unlock();
    std::vector<Call> calls;
    try {
      std::lock_guard tree(lock_);
      if (seen && !open_) retryAt_ = std::min(retryAt_, Clock::now());
      Outbox::Batch batch(outbox_);
      try {
        outbox_.recordReleases();
        if (seen && open_) outbox_.setCompanionProblem("");  // a note an earlier run left
        for (auto& event : events) settle(event);
        pick(calls);
        batch.commit();
      } catch (...) {
        unpick(calls);
        throw;
      }
    } catch (...) {
      // A full state folder, say: what was settled stays in memory and is written with the
      // entry's next change; this round's calls are not made.
    }
    for (const auto& call : calls) issue(call);
    lock.lock();
  }
}

// Entries in the order they were made, each as soon as what it depends on has landed.
void Uploader::pick(std::vector<Call>& calls) {
  auto now = Clock::now();
  int limit = kMaxCalls - calls_;
  if (!open_) {
    if (probing_ || now < retryAt_) return;
    limit = 1;
  }
  nextLook_ = {};
  auto lookAt = [&](Clock::time_point when) {
    if (nextLook_ == Clock::time_point{} || when < nextLook_) nextLook_ = when;
  };
  auto quietAt = Clock::time_point(Clock::duration(lastChange_.load())) + kSettle;
  bool settling = now < quietAt && !draining_;
  for (auto& [seq, e] : outbox_.entries()) {
    if (static_cast<int>(calls.size()) >= limit) break;
    Entry& entry = *outbox_.find(seq);
    if (entry.held || entry.busy || entry.stage == Stage::parked) continue;
    if (settling && entry.stage == Stage::queued && now - entry.made < kMaxHold) {
      lookAt(std::min(quietAt, entry.made + kMaxHold));
      continue;
    }
    if (!mayGo(entry)) continue;
    if (entry.notBefore > now) {
      lookAt(entry.notBefore);
      continue;
    }
    bool check = entry.stage == Stage::sent || (entry.change == Change::remove && !entry.checked &&
                                                now - entry.made > kRemovalCheckAfter);
    std::int64_t size = 0;
    if (!check && entry.contents)
      size = std::max<std::int64_t>(0, stampOf(outbox_.pathOf(entry.data)).first);
    // A large file goes alone, and nothing made after it overtakes it.
    if (size > 0 && bytes_ + size > kMaxBytes && calls_ > 0) break;
    if (!check) {
      auto [stampSize, stampTime] = entry.contents ? stampOf(outbox_.pathOf(entry.data))
                                                   : std::pair<std::int64_t, std::int64_t>{-1, -1};
      entry.stage = Stage::sent;
      entry.sentSize = stampSize;
      entry.sentMtime = stampTime;
      entry.sentAt = std::time(nullptr);
      entry.error.clear();
      ++entry.attempts;
      outbox_.record(entry);
    }
    entry.busy = true;
    entry.size = size;
    ++calls_;
    bytes_ += size;
    calls.push_back({entry, check});
  }
  if (!open_ && !calls.empty()) probing_ = true;
}

void Uploader::unpick(std::vector<Call>& calls) {
  for (const auto& call : calls) {
    if (Entry* e = outbox_.find(call.entry.seq)) {
      e->busy = false;
      e->detour.clear();
      --calls_;
      bytes_ -= e->size;
      e->size = 0;
    }
  }
  calls.clear();
  probing_ = false;
}

// Whether `entry` depends on nothing pending; a ring of renames that wait for one another's
// names is broken by sending this one to a name of its own first.
bool Uploader::mayGo(Entry& entry) {
  Wait wait = outbox_.waitOf(entry);
  if (wait != Wait::name) return wait == Wait::none;
  std::set<std::int64_t> seen{entry.seq};
  for (const Entry* holder = outbox_.nameHolder(entry); holder && holder->moves();
       holder = outbox_.nameHolder(*holder)) {
    if (holder->item == entry.item && entry.moves() && !holder->busy) {
      entry.detour = entry.origin.name + ".qdrive-" + std::to_string(entry.seq);
      return true;
    }
    if (!seen.insert(holder->seq).second) break;
  }
  return false;
}

void Uploader::issue(const Call& call) {
  const Entry& e = call.entry;
  if (call.check) {
    {
      std::lock_guard lock(checkMutex_);
      checks_.push_back(e);
    }
    checkWake_.notify_one();
    return;
  }
  auto inbox = inbox_;
  auto seq = e.seq;
  auto done = [inbox, seq](Outcome<Changed> outcome) {
    {
      std::lock_guard lock(inbox->mutex);
      inbox->events.push_back({seq, std::move(outcome), std::nullopt});
    }
    inbox->wake.notify_one();
  };
  auto contents = e.contents ? std::optional(outbox_.pathOf(e.data)) : std::nullopt;
  switch (e.change) {
    case Change::create:
      bridge_.create(hostItem(ItemIdentifier(""), e.place.parent, e.place.name,
                              e.folder ? std::optional(ContentType::folder()) : std::nullopt),
                     contents, done);
      break;
    case Change::modify:
      if (!e.detour.empty()) {
        bridge_.modify(hostItem(e.item, e.origin.parent, e.detour), e.base,
                       ItemField::filename | ItemField::parentItemIdentifier, std::nullopt, done);
        break;
      }
      bridge_.modify(hostItem(e.item, e.place.parent, e.place.name), e.base, e.fields(), contents,
                     done);
      break;
    case Change::remove:
      bridge_.remove(e.item, e.base, [done](std::optional<Error> error) {
        done({Changed{}, std::move(error)});
      });
      break;
  }
}

void Uploader::settle(Event& event) {
  Entry* entry = outbox_.find(event.seq);
  if (!entry) return;
  --calls_;
  bytes_ -= entry->size;
  entry->busy = false;
  entry->size = 0;
  probing_ = false;
  try {
    if (event.answer) answered(*entry, *event.answer);
    if (event.verdict) judged(*entry, *event.verdict);
  } catch (...) {
    // Not recorded (a full state folder): the entry stays as it was and goes again.
  }
}

void Uploader::answered(Entry& e, Outcome<Changed>& answer) {
  if (!answer.error) {
    openGate();
    if (!e.detour.empty()) {
      auto detour = std::exchange(e.detour, {});
      outbox_.change(e, [&](Entry& x) {
        x.origin.name = detour;
        x.stage = Stage::queued;
      });
      tree_.changedIn(e.origin.parent);
      return;
    }
    if (e.change != Change::remove && !answer.value.item) {
      park(e, fileProviderError(FileProviderError::cannotSynchronize));
      return;
    }
    land(e, answer.value.item, answer.value.shouldFetchContent);
    return;
  }
  const Error& error = *answer.error;
  e.detour.clear();
  if (unreachable(error)) {  // it may have landed all the same: looked for before it goes again
    e.error = describeError(error);
    outbox_.record(e);
    closeGate(error);
    return;
  }
  openGate();
  bool collision = is(error, FileProviderError::filenameCollision);
  bool missing = is(error, FileProviderError::noSuchItem);
  switch (e.change) {
    case Change::create:
      if (collision && e.attempts > 1 && e.attempts <= kNameRechecks) {
        // An attempt that got no answer may have taken the name itself (a server that makes
        // the file before its bytes arrive): looked at again once the companion sees it.
        e.stage = Stage::sent;
        e.error = describeError(error);
        e.notBefore = Clock::now() + std::chrono::seconds(e.attempts - 1);
        outbox_.record(e);
        return;
      }
      if (collision) return moveTo(e, freePlace(e));
      if (missing) {
        if (auto place = ancestorPlace(e)) return moveTo(e, *place);
      }
      return park(e, error);
    case Change::modify:
      if (collision && e.moves()) return moveTo(e, freePlace(e));
      if (missing) {  // the item, or the folder it moves to, is gone: the check tells which
        e.error = describeError(error);
        outbox_.record(e);
        return;
      }
      return park(e, error);
    case Change::remove:
      if (missing) return land(e, nullptr, false);
      if (is(error, FileProviderError::directoryNotEmpty)) {  // it gained items elsewhere
        auto origin = e.origin;
        tree_.unused(outbox_.drop(e.seq));
        tree_.relist(origin.parent);
        return;
      }
      return park(e, error);
  }
}

void Uploader::judged(Entry& e, Verdict& verdict) {
  switch (verdict.kind) {
    case Verdict::landed:
      openGate();
      return land(e, verdict.item, false);
    case Verdict::fill:  // adopted, then written
      openGate();
      outbox_.contentsChanged(e.item, e.place, verdict.item->itemVersion(), e.data, false);
      return land(e, verdict.item, false);
    case Verdict::send:
      openGate();
      e.checked = true;
      e.stage = Stage::queued;
      outbox_.record(e);
      return;
    case Verdict::rename:
      openGate();
      return moveTo(e, freePlace(e));
    case Verdict::reparent:
      openGate();
      if (auto place = ancestorPlace(e)) return moveTo(e, *place);
      return park(e, fileProviderError(FileProviderError::noSuchItem));
    case Verdict::drop: {
      openGate();
      auto origin = e.origin;
      tree_.unused(outbox_.drop(e.seq));
      tree_.relist(origin.parent);
      return;
    }
    case Verdict::recreate:  // deleted on the companion while changed here: made afresh
      openGate();
      outbox_.change(e, [](Entry& x) {
        x.change = Change::create;
        x.origin = {};
        x.base = {};
        x.stage = Stage::queued;
      });
      return;
    case Verdict::retry:
      e.error = describeError(*verdict.error);
      outbox_.record(e);
      return closeGate(*verdict.error);
    case Verdict::park:
      openGate();
      return park(e, *verdict.error);
  }
}

void Uploader::land(Entry& e, const ItemPtr& item, bool fetchAgain) {
  Entry done = e;  // `e` goes with the entry
  auto id = item ? item->itemIdentifier() : done.item;
  auto version = item ? item->itemVersion() : ItemVersion{};
  auto freed = outbox_.landed(done.seq, id, version, fetchAgain);
  switch (done.change) {
    case Change::create:
      tree_.created(done.item, item);
      tree_.changedIn(done.place.parent);
      break;
    case Change::modify:
      if (item) tree_.modified(done.item, item, fetchAgain);
      if (done.moves()) {
        tree_.changedIn(done.origin.parent);
        tree_.changedIn(done.place.parent);
      }
      break;
    case Change::remove:
      tree_.changedIn(done.origin.parent);
      break;
  }
  tree_.unused(freed);
}

void Uploader::park(Entry& e, const Error& error) {
  if (passable(error)) {
    // Waits queued, so that a start, or the time below, sends it again.
    auto wait = kPassableFirst * (1 << std::min(std::max(e.attempts, 1) - 1, 6));
    auto delay = std::min<std::chrono::seconds>(wait, kPassableMost);
    e.notBefore = Clock::now() + delay;
    e.stage = Stage::queued;
    e.error = describeError(error) + "; next try at " +
              clockTime(std::chrono::system_clock::now() + delay);
    outbox_.record(e);
    return;
  }
  ParkedChange change{e.contents, std::nullopt, std::nullopt};
  if (e.contents) change.size = std::max<std::int64_t>(0, stampOf(outbox_.pathOf(e.data)).first);
  if (error.domain() == kCocoaErrorDomain && error.code() == CocoaError::fileReadTooLarge)
    change.memory = memoryAvailable();
  e.stage = Stage::parked;
  e.error = parkReason(error, change, describeError(error));
  outbox_.record(e);
}

void Uploader::moveTo(Entry& e, const Place& place) {
  outbox_.change(e, [&](Entry& x) {
    x.place = place;
    x.stage = Stage::queued;
  });
  tree_.placed(e.item, place);
}

// The next `name (conflict N)` that this folder does not show.
Place Uploader::freePlace(const Entry& e) {
  for (unsigned n = conflictNumber(e.place.name) + 1;; ++n) {
    auto name = conflictName(e.place.name, n);
    if (!tree_.taken(e.place.parent, name)) return {e.place.parent, name};
  }
}

std::optional<Place> Uploader::ancestorPlace(const Entry& e) {
  if (e.place.parent == rootContainerItemIdentifier()) return std::nullopt;
  auto up = tree_.parentOf(e.place.parent).value_or(rootContainerItemIdentifier());
  if (up == e.item) up = rootContainerItemIdentifier();
  return Place{up, e.place.name};
}

void Uploader::closeGate(const Error& error) {
  bool wasOpen = std::exchange(open_, false);
  retryAt_ = Clock::now() + backoff_;
  backoff_ = std::min<std::chrono::milliseconds>(backoff_ * 2, kMaxBackoff);
  if (wasOpen) outbox_.setCompanionProblem(describeError(error));
}

// Also clears a note left by an earlier run, whose gate this run never closed.
void Uploader::openGate() {
  backoff_ = std::chrono::milliseconds(500);
  open_ = true;
  outbox_.setCompanionProblem("");
}

void Uploader::checkLoop() {
  std::unique_lock lock(checkMutex_);
  while (true) {
    checkWake_.wait(lock, [&] { return checkStopping_ || !checks_.empty(); });
    if (checkStopping_) return;
    Entry entry = std::move(checks_.front());
    checks_.pop_front();
    lock.unlock();
    Verdict verdict;
    try {
      verdict = check(entry);
    } catch (...) {
      verdict = {Verdict::retry, nullptr, fileProviderError(FileProviderError::serverUnreachable)};
    }
    {
      std::lock_guard events(inbox_->mutex);
      inbox_->events.push_back({entry.seq, std::nullopt, std::move(verdict)});
    }
    inbox_->wake.notify_one();
    lock.lock();
  }
}

// Looks at the companion before an entry goes (again): whether an earlier attempt landed, and
// whether a removal still removes what the mount last saw.
Uploader::Verdict Uploader::check(const Entry& e) const {
  auto failed = [](const Error& error) {
    return Verdict{unreachable(error) ? Verdict::retry : Verdict::park, nullptr, error};
  };
  if (e.change == Change::create) {
    auto listing = bridge_.list(e.place.parent);
    if (!listing.ok())
      return is(*listing.error, FileProviderError::noSuchItem) ? Verdict{Verdict::reparent}
                                                               : failed(*listing.error);
    for (const auto& found : listing.value) {
      if (found->filename() != e.place.name) continue;
      bool adopt = e.folder ? isFolder(found) : !isFolder(found) && sameBytes(e, found);
      if (adopt) return {Verdict::landed, found};
      // A creation cut short on the companion's side can leave the file without its bytes;
      // filling an empty file loses nothing, and rests on its version should it change.
      auto size = found->documentSize();
      bool empty = !isFolder(found) && size && size->integerValue() == 0;
      return !e.folder && empty ? Verdict{Verdict::fill, found} : Verdict{Verdict::rename};
    }
    return {Verdict::send};
  }
  auto found = bridge_.item(e.item);
  if (!found.ok()) {
    if (!is(*found.error, FileProviderError::noSuchItem)) return failed(*found.error);
    if (e.change == Change::remove) return {Verdict::landed};
    return e.contents ? Verdict{Verdict::recreate} : Verdict{Verdict::drop};
  }
  const ItemPtr& item = found.value;
  if (e.change == Change::remove) {
    // Deletions carry no version: one that waited must not remove a newer version.
    bool moved = !e.folder && item->itemVersion().contentVersion != e.base.contentVersion;
    return moved ? Verdict{Verdict::drop} : Verdict{Verdict::send};
  }
  bool placed = item->parentItemIdentifier() == e.place.parent && item->filename() == e.place.name;
  if (e.stage != Stage::sent) return {Verdict::send};
  if (e.moves() && !placed) {
    auto parent = bridge_.item(e.place.parent);
    if (!parent.ok() && is(*parent.error, FileProviderError::noSuchItem))
      return {Verdict::reparent};
  }
  if (e.contents)
    return sameBytes(e, item) ? Verdict{Verdict::landed, item} : Verdict{Verdict::send};
  return placed ? Verdict{Verdict::landed, item} : Verdict{Verdict::send};
}

// Whether the companion's `found` holds the bytes this entry sent. When the staged file has
// changed since (written again here), only the size it had is left to compare.
bool Uploader::sameBytes(const Entry& e, const ItemPtr& found) const {
  auto size = found->documentSize();
  std::int64_t theirs = size ? size->integerValue() : -1;
  auto [ourSize, ourTime] = stampOf(outbox_.pathOf(e.data));
  if (ourSize != e.sentSize || ourTime != e.sentMtime) return theirs == e.sentSize;
  if (theirs != ourSize) return false;
  auto fetched = bridge_.fetch(found->itemIdentifier());
  if (!fetched.ok()) return false;
  bool same = sameFiles(fetched.value.file, outbox_.pathOf(e.data));
  removeQuietly(fetched.value.file);
  return same;
}

}  // namespace QuorvelleDrive::fuse

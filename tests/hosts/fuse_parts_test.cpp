// The FUSE host's parts that need no mount: error mapping, the outbox, bounded waits.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "boundaries/file_provider_error.h"
#include "errno_map.h"
#include "host_bridge.h"
#include "outbox.h"
#include "support/drive_fixture.h"
#include "support/temp_dir.h"

namespace QuorvelleDrive::testing {
namespace {

using namespace QuorvelleDrive::fuse;

TEST(MountErrors, HostErrorsBecomeErrnoValues) {
  const std::pair<Error, int> cases[] = {
      {fileProviderError(FileProviderError::noSuchItem), ENOENT},
      {fileProviderError(FileProviderError::filenameCollision), EEXIST},
      {fileProviderError(FileProviderError::directoryNotEmpty), ENOTEMPTY},
      {fileProviderError(FileProviderError::serverUnreachable), EIO},
      {fileProviderError(FileProviderError::insufficientQuota), EDQUOT},
      {fileProviderError(FileProviderError::cannotSynchronize), EIO},
      {fileProviderError(FileProviderError::excludedFromSync), EPERM},
      {cocoaError(CocoaError::fileWriteNoPermission), EACCES},
      {cocoaError(CocoaError::fileWriteOutOfSpace), EFBIG},
      {Error("elsewhere", 1), EIO},
  };
  for (const auto& [error, expected] : cases) EXPECT_EQ(errnoFor(error), expected) << error.what();
  EXPECT_EQ(modeFor(false, 47), S_IFREG | 0644u);
  EXPECT_EQ(modeFor(true, 47), S_IFDIR | 0755u);
  EXPECT_EQ(modeFor(false, 1), S_IFREG | 0444u);
  EXPECT_EQ(modeFor(true, 1), S_IFDIR | 0555u);
  for (const auto& bad : std::vector<std::string>{"", ".", "..", "a/b", std::string("a\0b", 3),
                                                  std::string(256, 'n')})
    EXPECT_FALSE(isUsableName(bad)) << bad;
  EXPECT_TRUE(isUsableName(".hidden"));
}

// Changes to an item that has not gone out merge into one entry, which survives a restart with
// its bytes; uploads an earlier version left in a journal folder are adopted.
TEST(Outbox, ChangesCoalesceAndSurviveARestart) {
  TempDir temp;
  auto dir = temp.path() / "outbox";
  auto root = rootContainerItemIdentifier();
  auto made = Outbox::provisionalIdentifier();
  std::string odd("v\xff\0", 3);
  const ItemIdentifier kept("kept"), gone("gone"), moving("moving");
  {
    Outbox outbox(dir);
    EXPECT_EQ(std::filesystem::status(dir).permissions(), std::filesystem::perms::owner_all);
    EXPECT_TRUE(Outbox::isProvisional(made));
    EXPECT_FALSE(Outbox::isProvisional(ItemIdentifier("local-1")));
    // create + three writes + two renames: one creation under the final name.
    outbox.created(made, false, {root, "a"}, "d1", true);
    for (int i = 0; i < 3; ++i) outbox.contentsChanged(made, {root, "a"}, {}, "d1", true);
    outbox.moved(made, false, {root, "a"}, {root, "b"});
    outbox.moved(made, false, {root, "b"}, {root, "c"});
    // rewrites of a known item: the last bytes.
    outbox.contentsChanged(kept, {root, "k"}, {odd, "m"}, "d2", false);
    outbox.contentsChanged(kept, {root, "k"}, {odd, "m"}, "d3", false);
    // create … delete: nothing.
    auto brief = Outbox::provisionalIdentifier();
    outbox.created(brief, true, {root, "tmp"}, "", false);
    outbox.removed(brief, true, {root, "tmp"}, {});
    // a rename chain back where it started: nothing; a delete of a known item stays.
    outbox.moved(moving, false, {root, "x"}, {root, "y"});
    outbox.moved(moving, false, {root, "y"}, {root, "x"});
    outbox.removed(gone, false, {root, "g"}, {"c1", "m1"});
  }
  auto journal = temp.path() / "journal";
  std::filesystem::create_directories(journal);
  std::ofstream(journal / "k1.data") << "old bytes";
  std::ofstream(journal / "k1.json")
      << R"({"id":"6f6c64","parent":"31","name":"6f6c642e747874","contentVersion":"6376",)"
      << R"("metadataVersion":"6d76","data":"k1.data"})";
  Outbox outbox(dir, {journal});
  std::vector<std::tuple<Change, std::string, std::string>> got;
  for (const auto& [seq, e] : outbox.entries()) got.emplace_back(e.change, e.place.name, e.data);
  std::vector<std::tuple<Change, std::string, std::string>> want{
      {Change::create, "c", "d1"},
      {Change::modify, "k", "d3"},
      {Change::remove, "g", ""},
      {Change::modify, "old.txt", "journal-k1"}};
  EXPECT_EQ(got, want);
  EXPECT_EQ(outbox.entries().begin()->second.item, made) << "the provisional identifier is kept";
  EXPECT_EQ(std::next(outbox.entries().begin())->second.base.contentVersion, odd);
  EXPECT_EQ(readWholeFile(outbox.pathOf("journal-k1")), "old bytes");
  EXPECT_FALSE(std::filesystem::exists(journal)) << "the adopted journal is gone";
}

// An extension whose operations never answer, as with a companion that hangs.
struct SilentExtension : ReplicatedExtension {
  void invalidate() override {}
  std::shared_ptr<Progress> item(const ItemIdentifier&, const Request&, ItemCompletion c) override {
    held.push_back(std::move(c));
    return Progress::withTotalUnitCount(1);
  }
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<FetchCompletion> fetches;
  std::shared_ptr<Progress> fetchContents(const ItemIdentifier&, const std::optional<ItemVersion>&,
                                          const Request&, FetchCompletion c) override {
    std::lock_guard lock(mutex);
    fetches.push_back(std::move(c));
    arrived.notify_all();
    return nullptr;
  }
  // The next fetch's completion, once a fetch has come.
  FetchCompletion nextFetch() {
    std::unique_lock lock(mutex);
    arrived.wait(lock, [&] { return !fetches.empty(); });
    auto next = std::move(fetches.front());
    fetches.erase(fetches.begin());
    return next;
  }
  std::shared_ptr<Progress> createItem(std::shared_ptr<const FileProviderItem>, ItemFields,
                                       std::optional<std::filesystem::path>, ItemOptions,
                                       const Request&, ChangeItemCompletion) override {
    return nullptr;
  }
  std::shared_ptr<Progress> modifyItem(std::shared_ptr<const FileProviderItem>, const ItemVersion&,
                                       ItemFields, std::optional<std::filesystem::path>,
                                       ItemOptions, const Request&, ChangeItemCompletion) override {
    return nullptr;
  }
  std::shared_ptr<Progress> deleteItem(const ItemIdentifier&, const ItemVersion&, ItemOptions,
                                       const Request&, DeleteCompletion) override {
    return nullptr;
  }
  std::shared_ptr<FileProviderEnumerator> enumerator(const ItemIdentifier&,
                                                     const Request&) override {
    return nullptr;
  }
  std::vector<ItemCompletion> held;
};

TEST(HostBridge, AHangingCallEndsWithAnErrorAndALateAnswerIsHarmless) {
  auto extension = std::make_shared<SilentExtension>();
  HostBridge bridge(extension, std::chrono::milliseconds(50));
  auto outcome = bridge.item(ItemIdentifier("a"));
  EXPECT_EQ(outcome.error, timedOut());
  ASSERT_EQ(extension->held.size(), 1u);
  extension->held[0](nullptr, std::nullopt);  // the answer arrives after the caller gave up
}

// A large file's fetch waits a second per MiB beyond the time-out, so its bytes are not cut off
// while they still come; a file that comes after the wait ended is not left behind.
TEST(HostBridge, AFetchWaitsLongerForALargeFileAndALateFileIsRemoved) {
  TempDir temp;
  auto extension = std::make_shared<SilentExtension>();
  HostBridge bridge(extension, std::chrono::milliseconds(50));
  auto answerLater = [&](const std::filesystem::path& file) {
    auto done = extension->nextFetch();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::ofstream(file) << "bytes";
    done(file, nullptr, std::nullopt);
  };
  auto large =
      std::async(std::launch::async, [&] { return bridge.fetch(ItemIdentifier("a"), 2 << 20); });
  answerLater(temp.path() / "large");
  EXPECT_TRUE(large.get().ok());
  EXPECT_TRUE(std::filesystem::exists(temp.path() / "large"));

  auto small = std::async(std::launch::async, [&] { return bridge.fetch(ItemIdentifier("b")); });
  answerLater(temp.path() / "small");
  EXPECT_EQ(small.get().error, timedOut());
  EXPECT_FALSE(std::filesystem::exists(temp.path() / "small"));
}

}  // namespace
}  // namespace QuorvelleDrive::testing

// The FUSE host's parts that need no mount: error mapping, the upload journal, bounded waits.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "boundaries/file_provider_error.h"
#include "errno_map.h"
#include "host_bridge.h"
#include "journal.h"
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

TEST(UploadJournal, EntriesSurviveARestartWithTheirBytes) {
  TempDir temp;
  auto dir = temp.path() / "journal";
  std::string odd("v\xff\0", 3);
  {
    Journal journal(dir);
    EXPECT_EQ(std::filesystem::status(dir).permissions(), std::filesystem::perms::owner_all);
    auto data = journal.newDataPath();
    std::ofstream(data) << "bytes";
    journal.add({"", ItemIdentifier("id 1"), ItemIdentifier("1"), "name.txt", {odd, "m"}, data});
    auto replacement = journal.newDataPath();
    std::ofstream(replacement) << "newer";
    journal.add(
        {"", ItemIdentifier("id 1"), ItemIdentifier("1"), "name.txt", {odd, "m"}, replacement});
    EXPECT_FALSE(std::filesystem::exists(data)) << "a newer upload of the item replaces the older";
  }
  auto loaded = Journal::load(dir);
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(loaded[0].id, ItemIdentifier("id 1"));
  EXPECT_EQ(loaded[0].name, "name.txt");
  EXPECT_EQ(loaded[0].base.contentVersion, odd);
  std::string bytes;
  std::ifstream(loaded[0].data) >> bytes;
  EXPECT_EQ(bytes, "newer") << "the entry names the newer data";
  Journal reopened(dir);
  ASSERT_TRUE(reopened.pendingFor(ItemIdentifier("id 1")));
  reopened.remove(loaded[0].key);
  EXPECT_TRUE(Journal::load(dir).empty());
}

// An extension whose operations never answer, as with a companion that hangs.
struct SilentExtension : ReplicatedExtension {
  void invalidate() override {}
  std::shared_ptr<Progress> item(const ItemIdentifier&, const Request&, ItemCompletion c) override {
    held.push_back(std::move(c));
    return Progress::withTotalUnitCount(1);
  }
  std::shared_ptr<Progress> fetchContents(const ItemIdentifier&, const std::optional<ItemVersion>&,
                                          const Request&, FetchCompletion) override {
    return nullptr;
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

}  // namespace
}  // namespace QuorvelleDrive::testing

// The extension's host operations against the reference companion: what a host would see.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "boundaries/file_provider_error.h"
#include "companion/companion.h"
#include "companion/companion_fixture.h"
#include "support/drive_fixture.h"
#include "support/operations.h"

namespace QuorvelleDrive::testing {
namespace {

using ::testing::UnorderedElementsAre;

class CompanionEndToEndTest : public DriveFixture {
 protected:
  CompanionEndToEndTest() : companion_({temp_.path() / "store", socketPath(), false, {}, {}}) {}

  std::filesystem::path store() const { return temp_.path() / "store"; }

  std::shared_ptr<HostItem> hostItem(const ItemIdentifier& parent, std::string name,
                                     std::optional<ContentType> type = std::nullopt,
                                     ItemIdentifier id = ItemIdentifier("new")) {
    auto item = std::make_shared<HostItem>();
    std::tie(item->id, item->parent, item->name, item->type) = std::tie(id, parent, name, type);
    return item;
  }
  std::vector<std::string> listing(const ItemIdentifier& container) {
    auto observer = std::make_shared<RecordingObserver>();
    extension_.enumerator(container, {})->enumerateItems(observer, {});
    std::vector<std::string> names;
    for (auto& item : observer->items()) names.push_back(item->filename());
    return names;
  }

  companion::Companion companion_;
  std::shared_ptr<FileProviderExtension> owner_ = FileProviderExtension::create(domain_);
  FileProviderExtension& extension_ = *owner_;
};

TEST_F(CompanionEndToEndTest, HostSeesItsChangesCarriedOut) {
  ItemIdentifier root = rootContainerItemIdentifier();
  auto folder = create(extension_, hostItem(root, "Docs", ContentType::folder()), {});
  ASSERT_FALSE(folder.error);
  ItemIdentifier docs = folder.item->itemIdentifier();
  auto file = create(extension_, hostItem(root, "a.txt"), localFile("upload", "hello"));
  ASSERT_FALSE(file.error);
  EXPECT_EQ(file.item->documentSize()->integerValue(), 5);
  EXPECT_EQ(file.item->capabilities(), 47u);
  EXPECT_THAT(listing(root), UnorderedElementsAre("Docs", "a.txt"));

  ItemIdentifier id = file.item->itemIdentifier();
  auto fetched = fetch(extension_, id);
  ASSERT_TRUE(fetched.file);
  EXPECT_EQ(readWholeFile(*fetched.file), "hello");
  // The user's bytes outside the store are owner-only too.
  EXPECT_EQ(modeOf(*fetched.file), 0600u);
  EXPECT_EQ(modeOf(fetched.file->parent_path()), 0700u);

  auto renamed = modify(extension_, hostItem(root, "b.txt", {}, id), file.item->itemVersion(),
                        ItemField::filename, {});
  ASSERT_FALSE(renamed.error);
  EXPECT_EQ(renamed.item->filename(), "b.txt");
  auto rewritten = modify(extension_, hostItem(root, "b.txt", {}, id), renamed.item->itemVersion(),
                          ItemField::contents, localFile("edit", "hello again"));
  ASSERT_FALSE(rewritten.error);
  EXPECT_FALSE(rewritten.shouldFetchContent);
  EXPECT_EQ(readWholeFile(*fetch(extension_, id).file), "hello again");
  // A rewrite from the version before keeps both contents and asks the host to fetch.
  auto stale = modify(extension_, hostItem(root, "b.txt", {}, id), renamed.item->itemVersion(),
                      ItemField::contents, localFile("stale", "from before"));
  ASSERT_FALSE(stale.error);
  EXPECT_TRUE(stale.shouldFetchContent);
  EXPECT_EQ(stale.item->itemVersion(), rewritten.item->itemVersion());
  EXPECT_EQ(readWholeFile(store() / "b (conflict 1).txt"), "from before");

  auto moved = modify(extension_, hostItem(docs, "b.txt", {}, id), rewritten.item->itemVersion(),
                      ItemField::parentItemIdentifier, {});
  ASSERT_FALSE(moved.error);
  EXPECT_EQ(moved.item->parentItemIdentifier(), docs);
  EXPECT_EQ(readWholeFile(store() / "Docs" / "b.txt"), "hello again");

  EXPECT_FALSE(removeItem(extension_, id));
  EXPECT_EQ(lookUp(extension_, id).error, fileProviderError(FileProviderError::noSuchItem));
  EXPECT_EQ(removeItem(extension_, docs), std::nullopt);
  EXPECT_THAT(listing(root), UnorderedElementsAre("b (conflict 1).txt"));
}

TEST_F(CompanionEndToEndTest, RefusalsReachTheHostAsItsErrors) {
  ItemIdentifier root = rootContainerItemIdentifier();
  ItemIdentifier docs =
      create(extension_, hostItem(root, "Docs", ContentType::folder()), {}).item->itemIdentifier();
  ASSERT_FALSE(create(extension_, hostItem(docs, "x"), localFile("x", "x")).error);
  EXPECT_EQ(create(extension_, hostItem(root, "Docs", ContentType::folder()), {}).error,
            fileProviderError(FileProviderError::filenameCollision));
  EXPECT_EQ(removeItem(extension_, docs), fileProviderError(FileProviderError::directoryNotEmpty));
  EXPECT_EQ(create(extension_, hostItem(root, "a/b"), localFile("y", "y")).error,
            fileProviderError(FileProviderError::cannotSynchronize));
  EXPECT_EQ(fetch(extension_, ItemIdentifier("999")).error,
            fileProviderError(FileProviderError::noSuchItem));
}

}  // namespace
}  // namespace QuorvelleDrive::testing

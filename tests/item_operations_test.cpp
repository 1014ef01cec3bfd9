#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <tuple>

#include "boundaries/file_provider_error.h"
#include "boundaries/file_provider_manager.h"
#include "support/drive_fixture.h"
#include "support/operations.h"

namespace QuorvelleDrive::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ItemOperationsTest : public DriveFixture {
 protected:
  ItemOperationsTest() { companion(); }

  std::string bodyOf(std::size_t request) { return companion().requests().at(request).body; }
  void reply(std::string_view json, std::string_view body = {}) {
    companion().enqueue(Answer::reply(json, body));
  }
  ItemAnswer lookUp(const ItemIdentifier& id) { return testing::lookUp(*extension_, id); }
  FetchAnswer fetch() { return testing::fetch(*extension_, ItemIdentifier("a")); }
  ChangeAnswer create(std::shared_ptr<HostItem> itemTemplate,
                      std::optional<std::filesystem::path> contents) {
    return testing::create(*extension_, std::move(itemTemplate), std::move(contents));
  }
  ChangeAnswer modify(ItemFields changed, std::optional<std::filesystem::path> contents,
                      ItemVersion base = {"v1", "meta"}) {
    return testing::modify(*extension_, changedItem_, base, changed, std::move(contents));
  }
  std::optional<Error> remove(ItemOptions options, ItemVersion base = {}) {
    return removeItem(*extension_, ItemIdentifier("a"), base, options);
  }

  std::shared_ptr<FileProviderExtension> extension_ = FileProviderExtension::create(domain_);
  std::shared_ptr<HostItem> changedItem_ = [] {
    auto item = std::make_shared<HostItem>();
    item->id = ItemIdentifier("a");
    item->parent = rootContainerItemIdentifier();
    item->name = "b.txt";
    return item;
  }();
};

TEST_F(ItemOperationsTest, LookupSendsItemWithTheWireId) {
  reply(kItemReply);
  EXPECT_EQ(lookUp(rootContainerItemIdentifier()).item->filename(), "a.txt");
  reply("{}");
  EXPECT_EQ(lookUp(ItemIdentifier("x")).error, fileProviderError(FileProviderError::noSuchItem));
  reply(R"({"error":"busy"})");
  EXPECT_EQ(lookUp(ItemIdentifier("y")).error,
            fileProviderError(FileProviderError::serverUnreachable));
  EXPECT_THAT(sent(), ElementsAre(parseObject(R"({"op":"item","id":"1"})"),
                                  parseObject(R"({"op":"item","id":"x"})"),
                                  parseObject(R"({"op":"item","id":"y"})")));
}

TEST_F(ItemOperationsTest, FetchWritesTheBodyToAFreshOwnerOnlyFile) {
  reply(kItemReply);
  reply(R"({"size":5})", "hello");
  auto first = fetch();
  ASSERT_FALSE(first.error);
  EXPECT_EQ(first.item->itemIdentifier(), ItemIdentifier("a"));
  EXPECT_EQ(first.file->parent_path(), temporaryDirectory());
  EXPECT_THAT(
      first.file->filename().string(),
      ::testing::MatchesRegex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"));
  EXPECT_EQ(readWholeFile(*first.file), "hello");
  struct stat info {};
  ASSERT_EQ(::stat(temporaryDirectory().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  reply(kItemReply);
  reply("{}");  // no body stands for zero bytes
  auto second = fetch();
  ASSERT_FALSE(second.error);
  EXPECT_NE(second.file, first.file);
  EXPECT_EQ(readWholeFile(*second.file), "");
  EXPECT_THAT(sent(), ElementsAre(parseObject(R"({"op":"item","id":"a"})"),
                                  parseObject(R"({"op":"read","id":"a"})"),
                                  parseObject(R"({"op":"item","id":"a"})"),
                                  parseObject(R"({"op":"read","id":"a"})")));
}

TEST_F(ItemOperationsTest, FetchFailuresLeaveNoFile) {
  struct StubManager : FileProviderManager {
    std::optional<std::filesystem::path> dir;  // none: the directory cannot be made
    std::filesystem::path temporaryDirectoryURL() const override {
      if (!dir) throw cocoaError(CocoaError::fileWriteVolumeReadOnly);
      return *dir;
    }
  };
  auto broken = std::make_shared<StubManager>(), missing = std::make_shared<StubManager>();
  missing->dir = temp_.path() / "gone";
  const std::vector<std::string> found = {kItemReply, "{}"};
  const Error noItem = fileProviderError(FileProviderError::noSuchItem);
  // A missing item still costs the read; a failed request stops the sequence there; the
  // temporary directory is asked for only after both requests.
  // clang-format off
  const std::tuple<std::vector<std::string>, DomainRegistry::Lookup, Error, std::size_t> cases[] = {
      {{"{}", "{}"}, nullptr, noItem, 2},
      {{R"({"error":"notFound"})"}, nullptr, noItem, 1},
      {{kItemReply, R"({"error":"access"})"}, nullptr, cocoaError(CocoaError::fileWriteNoPermission), 2},
      {found, [](const Domain&) { return nullptr; }, noItem, 2},
      {found, [broken](const Domain&) { return broken; }, cocoaError(CocoaError::fileWriteVolumeReadOnly), 2},
      {found, [missing](const Domain&) { return missing; }, cocoaError(CocoaError::fileNoSuchFile), 2},
  };
  // clang-format on
  std::size_t requests = 0;
  for (const auto& [replies, lookup, error, count] : cases) {
    DomainRegistry::shared().setLookup(lookup);
    for (const auto& r : replies) reply(r);
    auto answer = fetch();
    EXPECT_EQ(answer.error, error);
    EXPECT_FALSE(answer.file);
    EXPECT_FALSE(answer.item);
    EXPECT_EQ(sent().size(), requests += count);
  }
  EXPECT_FALSE(std::filesystem::exists(temporaryDirectory()) &&
               !std::filesystem::is_empty(temporaryDirectory()));
}

TEST_F(ItemOperationsTest, CreateSendsAFolderBareAndAFileWithItsWholeContents) {
  // Template type, local contents, the request, and the body sent after it.
  // clang-format off
  const std::tuple<std::optional<ContentType>, std::string, std::string, std::string> cases[] = {
      {ContentType::folder(), "ignored", R"({"op":"create","parent":"1","name":"f","dir":true})", ""},
      {std::nullopt, "file bytes", R"({"op":"create","parent":"1","name":"f","dir":false,"size":10})", "file bytes"},
      {ContentType::data(), "", R"({"op":"create","parent":"1","name":"f","dir":false,"size":0})", ""},
  };
  // clang-format on
  for (const auto& [type, contents, request, body] : cases) {
    auto item = std::make_shared<HostItem>();
    item->parent = rootContainerItemIdentifier();
    item->name = "f";
    item->type = type;
    reply(R"({"item":{"id":"d","parent":"1","name":"f","dir":true}})");
    auto answer = create(item, localFile("local", contents));
    ASSERT_FALSE(answer.error);
    EXPECT_EQ(answer.item->itemIdentifier(), ItemIdentifier("d"));
    EXPECT_EQ(answer.pending, 0u);
    EXPECT_FALSE(answer.shouldFetchContent);
    EXPECT_EQ(sent().back(), parseObject(request));
    EXPECT_EQ(bodyOf(sent().size() - 1), body);
  }
}

TEST_F(ItemOperationsTest, CreateFailures) {
  auto file = std::make_shared<HostItem>();
  EXPECT_EQ(create(file, std::nullopt).error,
            fileProviderError(FileProviderError::excludedFromSync));
  EXPECT_EQ(create(file, temp_.path() / "no-such-file").error,
            cocoaError(CocoaError::fileReadNoSuchFile));
  EXPECT_THAT(sent(), IsEmpty());

  reply("{}");
  auto answer = create(file, localFile("x", "x"));
  EXPECT_EQ(answer.error, fileProviderError(FileProviderError::cannotSynchronize));
  EXPECT_FALSE(answer.item);
  reply(R"({"error":"exists"})");
  EXPECT_EQ(create(file, localFile("x", "x")).error,
            fileProviderError(FileProviderError::filenameCollision));
}

struct ModifyCase {
  const char* name;
  ItemFields changed;
  bool withContents;
  std::vector<std::string> replies;
  std::vector<std::string> expectedOps;
  bool shouldFetch;
  const char* resultVersion;  // the "version" of the item the completion receives
};

std::string itemReply(const char* version, const char* extra = "") {
  return std::string(R"({"item":{"id":"a","parent":"1","name":"b.txt","dir":false,"version":")") +
         version + "\"}" + extra + "}";
}

TEST_F(ItemOperationsTest, ModificationSendsRenameWriteItemInOrderAtMostOnce) {
  const auto fn = ItemField::filename, body = ItemField::contents;
  // clang-format off
  const ModifyCase cases[] = {
      {"filename only", fn, false, {itemReply("r")}, {"rename"}, false, "r"},
      {"rename reply without item", fn, false, {"{}", itemReply("i")}, {"rename", "item"}, false, "i"},
      {"contents", body, true, {itemReply("w", R"(,"restore":true)")}, {"write"}, true, "w"},
      {"contents without URL", body, false, {itemReply("i")}, {"item"}, false, "i"},
      {"contents and filename", body | fn, true, {itemReply("r"), itemReply("w")}, {"rename", "write"}, false, "w"},
      {"write reply without item", body, true, {R"({"restore":true})", itemReply("i")}, {"write", "item"}, true, "i"},
      {"restore not a boolean", body, true, {itemReply("w", R"(,"restore":1)")}, {"write"}, false, "w"},
      {"only ignored fields", 1u << 5, false, {itemReply("i")}, {"item"}, false, "i"},
  };
  // clang-format on
  auto contents = localFile("new", "new bytes");
  std::size_t before = 0;
  for (const auto& c : cases) {
    for (const auto& r : c.replies) reply(r);
    auto answer = modify(c.changed, c.withContents ? std::optional(contents) : std::nullopt);
    ASSERT_FALSE(answer.error) << c.name;
    EXPECT_EQ(answer.item->itemVersion().contentVersion, c.resultVersion) << c.name;
    EXPECT_EQ(answer.shouldFetchContent, c.shouldFetch) << c.name;
    EXPECT_EQ(answer.pending, 0u) << c.name;
    auto requests = sent();
    std::vector<std::string> ops;
    for (std::size_t i = before; i < requests.size(); ++i)
      ops.push_back(std::string(requests[i].at("op").as_string()));
    EXPECT_EQ(ops, c.expectedOps) << c.name;
    before = requests.size();
  }
}

TEST_F(ItemOperationsTest, ModificationRequestsCarryTheirKeys) {
  changedItem_->parent = ItemIdentifier("newParent");
  reply("{}");
  reply(itemReply("w"));
  auto answer = modify(ItemField::contents | ItemField::parentItemIdentifier,
                       localFile("new", "0123456789"), ItemVersion{"v\xff\xfez", "m"});
  ASSERT_FALSE(answer.error);
  EXPECT_THAT(
      sent(),
      ElementsAre(parseObject(R"({"op":"rename","id":"a","parent":"newParent","name":"b.txt"})"),
                  parseObject(R"({"op":"write","id":"a","size":10,"base":"v\uFFFD\uFFFDz"})")));
  EXPECT_EQ(bodyOf(1), "0123456789");

  reply(itemReply("w"));
  modify(ItemField::contents, localFile("new", ""), ItemVersion{});
  EXPECT_EQ(sent().back(), parseObject(R"({"op":"write","id":"a","size":0,"base":""})"));
  EXPECT_EQ(bodyOf(2), "");
}

TEST_F(ItemOperationsTest, ModificationFailuresStopTheSequence) {
  // Each case costs exactly one request: a failed step sends nothing after it.
  const auto both = ItemField::filename | ItemField::contents;
  const std::tuple<std::string, ItemFields, std::filesystem::path, Error> cases[] = {
      {R"({"error":"exists"})", both, localFile("n", "x"),
       fileProviderError(FileProviderError::filenameCollision)},
      {itemReply("r"), both, temp_.path() / "missing", cocoaError(CocoaError::fileReadNoSuchFile)},
      {R"({"error":"tooBig"})", ItemField::contents, localFile("n", "x"),
       cocoaError(CocoaError::fileWriteOutOfSpace)},
      {"{}", 0, {}, fileProviderError(FileProviderError::noSuchItem)},
  };
  std::size_t requests = 0;
  for (const auto& [replyJSON, changed, contents, error] : cases) {
    reply(replyJSON);
    auto answer = modify(changed, contents.empty() ? std::nullopt : std::optional(contents));
    EXPECT_EQ(answer.error, error);
    EXPECT_FALSE(answer.item);
    EXPECT_FALSE(answer.shouldFetchContent);
    EXPECT_EQ(sent().size(), ++requests);
  }
}

TEST_F(ItemOperationsTest, HostTextsThatAreNotUTF8NeverReachTheWire) {
  changedItem_->name = "bad\xc3";
  auto answer = modify(ItemField::filename, std::nullopt);
  EXPECT_EQ(answer.error, cocoaError(CocoaError::propertyListWriteInvalid));
  ASSERT_TRUE(eventually(
      [&] { return companion().connectionCount() >= 1; }));  // its answer is chosen on accept
  reply(kItemReply);
  changedItem_->name = "good";
  EXPECT_FALSE(modify(ItemField::filename, std::nullopt).error);
  EXPECT_EQ(companion().connectionCount(), 2u);
  EXPECT_THAT(sent(),
              ElementsAre(parseObject(R"({"op":"rename","id":"a","parent":"1","name":"good"})")));
}

TEST_F(ItemOperationsTest, DeletionSendsOneRequestAndIgnoresTheReply) {
  reply(kItemReply);
  EXPECT_FALSE(remove(0));
  reply(R"({"size":4})", "body");
  EXPECT_FALSE(remove(1, ItemVersion{"x", "y"}));
  reply(R"({"error":"notEmpty"})");
  EXPECT_EQ(remove(1), fileProviderError(FileProviderError::directoryNotEmpty));
  auto requests = sent();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& r : requests) EXPECT_EQ(r, parseObject(R"({"op":"delete","id":"a"})"));
}

}  // namespace
}  // namespace QuorvelleDrive::testing

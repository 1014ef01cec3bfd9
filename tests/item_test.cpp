#include "model/item.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

#include "boundaries/file_provider_error.h"
#include "channel/reply.h"

namespace QuorvelleDrive {
namespace {

using ::testing::ElementsAre;

json::object dict(std::string_view text) {
  return readJSON(text).as_object();
}

std::shared_ptr<const Item> make(std::string_view text) {
  return Item::make(dict(text));
}

TEST(IdentifierMapping, OnlyTheExactTextOneIsTheRoot) {
  EXPECT_EQ(Item::identifier("1"), rootContainerItemIdentifier());
  EXPECT_EQ(Item::wire(rootContainerItemIdentifier()), "1");
  for (std::string wire :
       {"01", " 1", "1 ", "", "abc", "NSFileProviderTrashContainerItemIdentifier",
        "NSFileProviderWorkingSetContainerItemIdentifier"}) {
    EXPECT_EQ(Item::identifier(wire).rawValue(), wire);
    EXPECT_EQ(Item::wire(Item::identifier(wire)), wire);
  }
  auto rootText = Item::identifier("NSFileProviderRootContainerItemIdentifier");
  EXPECT_EQ(rootText, rootContainerItemIdentifier());
  EXPECT_EQ(Item::wire(rootText), "1");
}

TEST(ItemConstruction, RootItem) {
  auto root = make(R"({"id":"1","parent":"1","name":"","dir":true})");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->itemIdentifier(), rootContainerItemIdentifier());
  EXPECT_EQ(root->parentItemIdentifier(), rootContainerItemIdentifier());
  EXPECT_EQ(root->filename(), "Quorvelle");
  // Without "mtime" the dates are the epoch.
  EXPECT_EQ(root->contentModificationDate(), Date{0});
  EXPECT_EQ(root->itemVersion(), (ItemVersion{"", "/1//false/false"}));

  // The root ignores the parent it is given, but its metadata version keeps it.
  auto named = make(R"({"id":"1","parent":"zz","name":"Top","dir":true,"version":"r7"})");
  ASSERT_TRUE(named);
  EXPECT_EQ(named->parentItemIdentifier(), rootContainerItemIdentifier());
  EXPECT_EQ(named->filename(), "Top");
  EXPECT_EQ(named->itemVersion().metadataVersion, "r7/zz/Top/false/false");
}

TEST(ItemConstruction, RequiredKeysMustHaveTheirTypes) {
  for (const char* text : {
           R"({"parent":"1","name":"a","dir":false})",
           R"({"id":1,"parent":"1","name":"a","dir":false})",
           R"({"id":"a","name":"a","dir":false})",
           R"({"id":"a","parent":1,"name":"a","dir":false})",
           R"({"id":"a","parent":"1","dir":false})",
           R"({"id":"a","parent":"1","name":null,"dir":false})",
           R"({"id":"a","parent":"1","name":"a"})",
           R"({"id":"a","parent":"1","name":"a","dir":"true"})",
           R"({"id":"a","parent":"1","name":"a","dir":1})",
       })
    EXPECT_FALSE(make(text)) << text;
}

struct FileCase {
  const char* dictionary;
  const char* filename;
  const char* type;
  std::optional<std::int64_t> size;
  ItemCapabilities capabilities;
};

TEST(ItemConstruction, FileNamesTypesSizesAndCapabilities) {
  // clang-format off
  const FileCase cases[] = {
      {R"({"id":"a","parent":"1","name":"","dir":false})", "unnamed", "public.data", {}, 1},
      {R"({"id":"a","parent":"1","name":"notes.TXT","dir":false,"size":0})", "notes.TXT", "public.plain-text", 0, 1},
      {R"({"id":"a","parent":"1","name":"x.json","dir":false,"size":12,"writable":true})", "x.json", "public.json", 12, 47},
      {R"({"id":"a","parent":"1","name":"x.pdf","dir":false,"writable":"true"})", "x.pdf", "com.adobe.pdf", {}, 1},
      {R"({"id":"a","parent":"1","name":"photo.jpeg","dir":false,"size":"9"})", "photo.jpeg", "public.jpeg", {}, 1},
      {R"({"id":"a","parent":"1","name":".zip","dir":false})", ".zip", "public.data", {}, 1},
      {R"({"id":"a","parent":"1","name":"a.tar.zip","dir":false})", "a.tar.zip", "public.zip-archive", {}, 1},
      {R"({"id":"a","parent":"1","name":"d.txt","dir":true,"size":100,"writable":true})", "d.txt", "public.folder", {}, 47},
  };
  // clang-format on
  for (const auto& c : cases) {
    auto item = make(c.dictionary);
    ASSERT_TRUE(item) << c.dictionary;
    EXPECT_EQ(item->filename(), c.filename) << c.dictionary;
    EXPECT_EQ(item->contentType()->identifier(), c.type) << c.dictionary;
    if (c.size)
      EXPECT_EQ(item->documentSize()->integerValue(), *c.size) << c.dictionary;
    else
      EXPECT_FALSE(item->documentSize()) << c.dictionary;
    EXPECT_EQ(item->capabilities(), c.capabilities) << c.dictionary;
    EXPECT_EQ(item->parentItemIdentifier(), rootContainerItemIdentifier());
  }
}

TEST(ItemConstruction, SizeKeepsTheNumberAsReceived) {
  auto item = make(R"({"id":"a","parent":"p","name":"n","dir":false,"size":2.5})");
  EXPECT_EQ(item->documentSize(), Number(2.5));
  EXPECT_EQ(item->parentItemIdentifier(), ItemIdentifier("p"));
}

TEST(ItemConstruction, DatesKeepFractionsAndExtremes) {
  for (double mtime : {1.5, -3.25, 1e300, -1e300, 0.0}) {
    json::object d = dict(R"({"id":"a","parent":"1","name":"n","dir":false})");
    d["mtime"] = mtime;
    auto item = Item::make(d);
    EXPECT_EQ(item->contentModificationDate(), Date{mtime});
    EXPECT_EQ(item->creationDate(), Date{mtime});
  }
  EXPECT_EQ(make(R"({"id":"a","parent":"1","name":"n","dir":false,"mtime":"5"})")
                ->contentModificationDate(),
            Date{0});
}

struct UploadCase {
  bool uploading, storageFull, uploaded, isUploading, quotaError;
};

TEST(ItemConstruction, UploadStateTable) {
  const UploadCase cases[] = {{false, false, true, false, false},
                              {false, true, true, false, false},
                              {true, false, false, true, false},
                              {true, true, false, false, true}};
  for (const auto& c : cases) {
    json::object d = dict(R"({"id":"a","parent":"1","name":"n","dir":false})");
    d["uploading"] = c.uploading;
    d["storageFull"] = c.storageFull;
    auto item = Item::make(d);
    EXPECT_EQ(item->isUploaded(), c.uploaded);
    EXPECT_EQ(item->isUploading(), c.isUploading);
    if (c.quotaError)
      EXPECT_EQ(item->uploadingError(), fileProviderError(FileProviderError::insufficientQuota));
    else
      EXPECT_FALSE(item->uploadingError());
  }
}

TEST(ItemConstruction, VersionsChangeWithTheirInputsOnly) {
  const char* base =
      R"({"id":"a","parent":"p","name":"a.txt","dir":false,"version":"r7","uploading":true})";
  auto reference = make(base)->itemVersion();
  EXPECT_EQ(reference, (ItemVersion{"r7", "r7/p/a.txt/true/false"}));

  // Each key, a new value, and whether the metadata version must change with it.
  const std::tuple<const char*, json::value, bool> edits[] = {
      {"writable", true, false}, {"mtime", 99, false},       {"size", 5, false},
      {"dir", true, false},      {"version", "r8", true},    {"parent", "q", true},
      {"name", "b", true},       {"uploading", false, true}, {"storageFull", true, true}};
  for (const auto& [key, value, changes] : edits) {
    auto d = dict(base);
    d[key] = value;
    auto version = Item::make(d)->itemVersion();
    if (changes)
      EXPECT_NE(version.metadataVersion, reference.metadataVersion) << key;
    else
      EXPECT_EQ(version, reference) << key;
  }
}

std::vector<std::string> ids(const std::vector<std::shared_ptr<const Item>>& items) {
  std::vector<std::string> out;
  for (const auto& item : items) out.push_back(item->itemIdentifier().rawValue());
  return out;
}

Reply replyOf(std::string_view text) {
  return Reply{dict(text), std::nullopt};
}

TEST(ReplyItems, DropInvalidItemsButAnyNonObjectEmptiesTheList) {
  const char* a = R"({"id":"a","parent":"1","name":"a","dir":false})";
  const char* c = R"({"id":"c","parent":"1","name":"c","dir":true})";
  EXPECT_THAT(ids(replyOf(std::string(R"({"items":[)") + a +
                          R"(,{"parent":"1","name":"b","dir":false},)" + c + "]}")
                      .items()),
              ElementsAre("a", "c"));
  for (std::string tail : {R"(,"x")", ",1", ",null", ",[]"})
    EXPECT_TRUE(replyOf(std::string(R"({"items":[)") + a + tail + "]}").items().empty()) << tail;
  EXPECT_TRUE(replyOf("{}").items().empty());
  EXPECT_TRUE(replyOf(R"({"items":{"a":1}})").items().empty());
}

TEST(ReplyItem, OnlyAnObjectThatMakesAnItem) {
  EXPECT_TRUE(replyOf(R"({"item":{"id":"a","parent":"1","name":"a","dir":false}})").item());
  for (const char* text : {"{}", R"({"item":[]})", R"({"item":"a"})", R"({"item":{"id":"a"}})"})
    EXPECT_FALSE(replyOf(text).item()) << text;
}

}  // namespace
}  // namespace QuorvelleDrive

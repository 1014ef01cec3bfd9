// Where the store's names lead: a tree deeper than one path can name works wherever the store
// lives, and a symbolic link inside the store never leads outside it.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "companion/companion_fixture.h"
#include "companion/refusal.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;

// 31 folders of 128-byte names, then a 110-byte file name: over 4,096 bytes below the store.
std::vector<std::string> deepFolders() {
  std::vector<std::string> names;
  for (char level = 0; level < 31; ++level) names.push_back(std::string(128, 'a' + level % 26));
  return names;
}
const std::string kDeepFile(110, 'f');

// The folder reached from `root` through `names`, one openat at a time.
qc::UniqueFd descend(const fs::path& root, const std::vector<std::string>& names) {
  qc::UniqueFd at(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (const auto& name : names)
    at = qc::UniqueFd(::openat(at.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return at;
}

using CompanionPathsTest = CompanionTest;

TEST_F(CompanionPathsTest, ATreeDeeperThanAPathWorksThroughTheProtocolAndTheWatcher) {
  std::string parent = "1";
  for (const auto& name : deepFolders()) parent = createDir(parent, name);
  std::string file = createFile(parent, kDeepFile, "deep");
  call(writeRequest(file, "deeper", version(file)), "deeper");
  EXPECT_EQ(contents(file), "deeper");
  call({{"op", "rename"}, {"id", file}, {"parent", parent}, {"name", "g"}});
  EXPECT_THAT(names(parent), ::testing::ElementsAre("g"));
  EXPECT_EQ(listed({{"op", "all"}}, "id").size(), 32u);

  // A file another program puts there is seen, and the start-up scan keeps every id.
  auto deepest = descend(store(), deepFolders());
  ASSERT_TRUE(deepest.valid());
  qc::UniqueFd made(::openat(deepest.get(), "h", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  ASSERT_EQ(::write(made.get(), "hh", 2), 2);
  made.reset();
  EXPECT_TRUE(eventually([&] { return names(parent).size() == 2; }));
  restart();
  EXPECT_EQ(contents(file), "deeper");
  EXPECT_THAT(names(parent), ::testing::ElementsAre("g", "h"));
  EXPECT_TRUE(call({{"op", "delete"}, {"id", file}}).json.empty());
  EXPECT_NE(::faccessat(deepest.get(), "g", F_OK, 0), 0);
}

// A folder replaced by a link to somewhere else, before any scan has seen it: every operation
// that would pass through it is refused, and nothing outside the store is read or touched.
TEST(CompanionLinks, AFolderSwappedForALinkLeadsNowhere) {
  TempDir temp;
  fs::path outside = temp.path() / "outside";
  fs::create_directories(outside);
  std::ofstream(outside / "a.txt") << "secret";
  qc::Catalog catalog(temp.path() / "store", false);
  auto staged = [&](const std::string& bytes) {
    auto file = catalog.store().stage();
    file.append(bytes.data(), bytes.size());
    file.sync();
    return file;
  };
  std::string docs = catalog.create("1", "docs", true, nullptr).row.id;
  auto mine = staged("mine");
  auto file = catalog.create(docs, "a.txt", false, &mine).row;
  fs::rename(temp.path() / "store" / "docs", temp.path() / "docs-away");
  fs::create_directory_symlink(outside, temp.path() / "store" / "docs");

  std::vector<std::pair<const char*, std::function<void()>>> operations = {
      {"item", [&] { catalog.item(file.id); }},
      {"read",
       [&] {
         struct : qc::ContentsSink {
           void begin(std::uint64_t) override { ADD_FAILURE() << "read began"; }
           bool write(std::string_view) override { return true; }
           bool sendFile(int, std::uint64_t) override { return true; }
         } sink;
         catalog.read(file.id, sink);
       }},
      {"list", [&] { catalog.list(docs); }},
      {"create", [&] { catalog.create(docs, "planted", true, nullptr); }},
      {"write",
       [&] {
         auto bytes = staged("overwritten");
         catalog.write(file.id, file.version, bytes);
       }},
      {"rename", [&] { catalog.rename(file.id, "1", "taken-out.txt"); }},
      {"delete", [&] { catalog.remove(file.id); }},
  };
  for (auto& [what, operation] : operations) {
    try {
      operation();
      ADD_FAILURE() << what << " went through the link";
    } catch (const qc::Refusal& refusal) {
      EXPECT_EQ(refusal.word(), qc::Word::notFound) << what;
    }
  }
  EXPECT_TRUE(catalog.all().empty());
  EXPECT_EQ(readWholeFile(outside / "a.txt"), "secret");
  EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace QuorvelleDrive::testing

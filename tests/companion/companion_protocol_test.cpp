// The companion's operations as the extension's own channel sees them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <fstream>
#include <set>
#include <thread>

#include "companion/companion_fixture.h"

namespace QuorvelleDrive::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

using CompanionProtocolTest = CompanionTest;

TEST_F(CompanionProtocolTest, EveryOperationRoundTrips) {
  std::string docs = createDir("1", "docs");
  std::string file = createFile(docs, "a.txt", "alpha");
  json::object described = item(file);
  EXPECT_EQ(described.at("parent"), json::value(docs));
  EXPECT_GT(described.at("mtime").to_number<double>(), 1e9);
  EXPECT_FALSE(described.at("version").as_string().empty());
  for (const char* key : {"id", "parent", "mtime", "version"}) described.erase(key);
  EXPECT_EQ(described, parseObject(R"({"name":"a.txt","dir":false,"writable":true,"size":5,
      "uploading":false,"storageFull":false})"));
  EXPECT_EQ(contents(file), "alpha");
  EXPECT_THAT(names(docs), ElementsAre("a.txt"));

  auto renamed = call({{"op", "rename"}, {"id", file}, {"parent", "1"}, {"name", "b.txt"}});
  EXPECT_EQ(renamed.json.at("item").at("parent"), "1");
  auto written = call(writeRequest(file, "beta", version(file)), "beta");
  EXPECT_FALSE(written.json.contains("restore"));
  EXPECT_EQ(contents(file), "beta");
  EXPECT_EQ(readWholeFile(store() / "b.txt"), "beta");

  EXPECT_THAT(listed({{"op", "all"}}), UnorderedElementsAre("docs", "b.txt"));

  EXPECT_TRUE(call({{"op", "delete"}, {"id", file}}).json.empty());
  EXPECT_FALSE(std::filesystem::exists(store() / "b.txt"));
  EXPECT_EQ(word({{"op", "item"}, {"id", file}}), "notFound");

  // The root: an unnamed writable folder that is its own parent.
  json::object root = item("1");
  for (const char* key : {"mtime", "size"}) root.erase(key);
  EXPECT_EQ(root, parseObject(R"({"id":"1","parent":"1","name":"","dir":true,"writable":true,
      "version":"","uploading":false,"storageFull":false})"));
}

// Refused requests, including every change to a read-only store and contents over the size cap,
// carry their words and change nothing.
TEST_F(CompanionProtocolTest, RefusalsCarryTheirWordsAndChangeNothing) {
  std::string docs = createDir("1", "docs");
  std::string file = createFile(docs, "a.txt", "alpha");
  createFile("1", "b.txt", "b");
  std::string inner = createDir(docs, "inner");
  std::uint64_t before = anchor();
  // clang-format off
  std::vector<std::tuple<const char*, json::object, std::string, const char*>> cases = {
      {"unknown id", {{"op", "item"}, {"id", "999"}}, "", "notFound"},
      {"read of a missing item", {{"op", "read"}, {"id", "999"}}, "", "notFound"},
      {"create under a missing parent", {{"op", "create"}, {"parent", "999"}, {"name", "x"}, {"dir", true}}, "", "notFound"},
      {"name taken on create", {{"op", "create"}, {"parent", docs}, {"name", "a.txt"}, {"dir", false}, {"size", 1}}, "x", "exists"},
      {"name taken on rename", {{"op", "rename"}, {"id", file}, {"parent", "1"}, {"name", "b.txt"}}, "", "exists"},
      {"folder taken on create", {{"op", "create"}, {"parent", "1"}, {"name", "docs"}, {"dir", true}}, "", "exists"},
      {"delete of a non-empty folder", {{"op", "delete"}, {"id", docs}}, "", "notEmpty"},
      {"create under a file", {{"op", "create"}, {"parent", file}, {"name", "x"}, {"dir", true}}, "", "notDir"},
      {"move under a file", {{"op", "rename"}, {"id", inner}, {"parent", file}, {"name", "x"}}, "", "notDir"},
      {"list of a file", {{"op", "list"}, {"id", file}}, "", "notDir"},
      {"read of a folder", {{"op", "read"}, {"id", docs}}, "", "isDir"},
      {"write of a folder", {{"op", "write"}, {"id", docs}, {"size", 1}, {"base", ""}}, "x", "isDir"},
      {"rename of the root", {{"op", "rename"}, {"id", "1"}, {"parent", "1"}, {"name", "r"}}, "", "access"},
      {"delete of the root", {{"op", "delete"}, {"id", "1"}}, "", "access"},
      {"folder into itself", {{"op", "rename"}, {"id", docs}, {"parent", inner}, {"name", "d"}}, "", "badMove"},
      {"unknown op", {{"op", "format"}}, "", "badRequest"},
      {"no op", {{"id", "1"}}, "", "badRequest"},
      {"id of the wrong type", {{"op", "item"}, {"id", 1}}, "", "badRequest"},
      {"negative size", {{"op", "anchor"}, {"size", -1}}, "", "badRequest"},
  };
  // clang-format on
  for (const std::string& name :
       {std::string(), std::string("."), std::string(".."), std::string("a/b"),
        std::string("a\0b", 3), std::string(256, 'n')}) {
    // clang-format off
    cases.push_back({"bad name on create", {{"op", "create"}, {"parent", "1"}, {"name", name}, {"dir", true}}, "", "badName"});
    cases.push_back({"bad name on rename", {{"op", "rename"}, {"id", file}, {"parent", docs}, {"name", name}}, "", "badName"});
    // clang-format on
  }
  for (auto& [what, request, body, expected] : cases)
    EXPECT_EQ(word(request, body), expected) << what;

  start({{}, {}, /*readOnly=*/true, {}, {}});
  EXPECT_EQ(item(file).at("writable"), false);
  EXPECT_EQ(word({{"op", "create"}, {"parent", "1"}, {"name", "x"}, {"dir", true}}), "access");
  EXPECT_EQ(word(fileRequest("1", "x", "x"), "x"), "access");
  EXPECT_EQ(word(writeRequest(file, "x", version(file)), "x"), "access");
  EXPECT_EQ(word({{"op", "rename"}, {"id", file}, {"parent", "1"}, {"name", "b"}}), "access");
  EXPECT_EQ(word({{"op", "delete"}, {"id", file}}), "access");

  start({{}, {}, false, /*maxFileSize=*/5, {}});
  EXPECT_EQ(word(fileRequest("1", "x", "123456"), "123456"), "tooBig");
  EXPECT_EQ(word(writeRequest(file, "123456", version(file)), "123456"), "tooBig");
  EXPECT_EQ(anchor(), before);
  EXPECT_EQ(contents(file), "alpha");
  EXPECT_THAT(names("1"), ElementsAre("b.txt", "docs"));
  EXPECT_THAT(names(docs), ElementsAre("a.txt", "inner"));
  call(writeRequest(file, "omega", version(file)), "omega");
  EXPECT_EQ(contents(file), "omega") << "contents of exactly the cap are kept";
}

// Versions move with contents only: a rename, a move or a restart keeps them, any write (even of
// the same bytes) gives a new one.
TEST_F(CompanionProtocolTest, IdsAndVersionsSurviveRenameMoveAndRestartAndIdsAreNeverReused) {
  std::string docs = createDir("1", "docs");
  std::string file = createFile("1", "a.txt", "alpha");
  std::string was = version(file);
  call({{"op", "rename"}, {"id", file}, {"parent", "1"}, {"name", "b.txt"}});
  call({{"op", "rename"}, {"id", file}, {"parent", docs}, {"name", "b.txt"}});
  call({{"op", "rename"}, {"id", docs}, {"parent", "1"}, {"name", "papers"}});
  restart();
  EXPECT_EQ(item(file).at("parent"), json::value(docs));
  EXPECT_EQ(item(docs).at("name"), "papers");
  EXPECT_EQ(contents(file), "alpha");
  EXPECT_EQ(readWholeFile(store() / "papers" / "b.txt"), "alpha");
  EXPECT_EQ(version(file), was);
  call(writeRequest(file, "alpha", was), "alpha");
  EXPECT_NE(version(file), was);

  // Ids are never reused, not even after a restart.
  call({{"op", "delete"}, {"id", file}});
  restart();
  EXPECT_NE(createFile("1", "a", "1"), file);
  EXPECT_EQ(word({{"op", "item"}, {"id", file}}), "notFound");
}

TEST_F(CompanionProtocolTest, AnchorRisesOnChangesOnly) {
  std::string docs = createDir("1", "docs");
  std::string file = createFile(docs, "a", "one");
  std::uint64_t before = anchor();
  call({{"op", "item"}, {"id", file}});
  call({{"op", "read"}, {"id", file}});
  call({{"op", "list"}, {"id", docs}});
  call({{"op", "all"}});
  call({{"op", "rename"}, {"id", file}, {"parent", docs}, {"name", "a"}});  // nothing moves
  EXPECT_EQ(anchor(), before);
  restart();
  EXPECT_EQ(anchor(), before);

  auto rose = [&, was = before]() mutable {
    std::uint64_t now = anchor();
    return std::exchange(was, now) < now;
  };
  createFile(docs, "b", "two");
  EXPECT_TRUE(rose()) << "create";
  call({{"op", "rename"}, {"id", file}, {"parent", "1"}, {"name", "a"}});
  EXPECT_TRUE(rose()) << "move";
  call(writeRequest(file, "x", version(file)), "x");
  EXPECT_TRUE(rose()) << "write";
  call(writeRequest(file, "y", "stale"), "y");
  EXPECT_TRUE(rose()) << "write that keeps both";
  call({{"op", "delete"}, {"id", file}});
  EXPECT_TRUE(rose()) << "delete";
}

TEST_F(CompanionProtocolTest, StaleBaseKeepsBothContents) {
  std::string file = createFile("1", "report.txt", "theirs");
  std::string current = version(file);
  for (const char* mine : {"mine 1", "mine 2"}) {
    Reply reply = call(writeRequest(file, mine, "old"), mine);
    EXPECT_EQ(reply.json.at("restore"), true);
    EXPECT_EQ(reply.json.at("item").at("version"), json::value(current));
  }
  EXPECT_EQ(version(file), current);
  // No base at all is no proof of having seen the current contents either.
  call({{"op", "write"}, {"id", file}, {"size", 6}}, "mine 3");
  EXPECT_EQ(contents(file), "theirs");
  EXPECT_THAT(names("1"), ElementsAre("report (conflict 1).txt", "report (conflict 2).txt",
                                      "report (conflict 3).txt", "report.txt"));
  EXPECT_EQ(readWholeFile(store() / "report (conflict 2).txt"), "mine 2");
}

TEST(CompanionConflictName, KeepsTheExtensionAndFitsANameLimit) {
  EXPECT_EQ(qc::conflictName("report.txt", 1), "report (conflict 1).txt");
  EXPECT_EQ(qc::conflictName("archive.tar.gz", 2), "archive.tar (conflict 2).gz");
  EXPECT_EQ(qc::conflictName(".bashrc", 1), ".bashrc (conflict 1)");
  EXPECT_EQ(qc::conflictName("Makefile", 3), "Makefile (conflict 3)");
  std::string accented;
  for (int i = 0; i < 127; ++i) accented += "\xC3\xA9";  // é, two bytes each
  std::string shortened = qc::conflictName(accented + ".txt", 1);
  EXPECT_LE(shortened.size(), 255u);
  EXPECT_TRUE(isValidUTF8(shortened));
  EXPECT_TRUE(shortened.ends_with(" (conflict 1).txt"));
}

// Each question is a lookup in the index and on the disk: asking about every number from 1 made
// a write cost more with each conflict copy.
TEST(CompanionConflictName, AFreeNumberTakesLogarithmicallyManyQuestions) {
  for (unsigned copies : {0u, 1u, 2u, 5u, 1000u, 3000u}) {
    unsigned asked = 0;
    auto free = qc::freeConflictNumber([&](unsigned n) { return ++asked, n <= copies; });
    EXPECT_EQ(free, copies + 1);
    EXPECT_LE(asked, 2u * std::bit_width(copies) + 2) << copies << " copies";
  }
  std::set<unsigned> gaps = {1, 2, 3, 5, 8, 9, 10};
  EXPECT_FALSE(gaps.count(qc::freeConflictNumber([&](unsigned n) { return gaps.count(n) > 0; })));
}

TEST_F(CompanionProtocolTest, ManyClientsAtOnceWhileOneStalls) {
  RawConnection stalled(socket());
  ASSERT_TRUE(
      stalled.send(requestFrame(fileRequest("1", "s", std::string(1000, 's')), "only part")));
  std::vector<std::thread> threads;
  for (int i = 0; i < 16; ++i)
    threads.emplace_back([this, i] { createFile("1", "f" + std::to_string(i), "x"); });
  for (auto& thread : threads) thread.join();
  auto ids = listed({{"op", "all"}}, "id");
  EXPECT_EQ(ids.size(), 16u) << "the stalled create must not land";
  EXPECT_EQ(std::set(ids.begin(), ids.end()).size(), 16u);
}

}  // namespace
}  // namespace QuorvelleDrive::testing

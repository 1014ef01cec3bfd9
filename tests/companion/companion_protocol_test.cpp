// The companion's operations as the extension's own channel sees them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
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
  EXPECT_EQ(described.at("name"), "a.txt");
  EXPECT_EQ(described.at("dir"), false);
  EXPECT_EQ(described.at("writable"), true);
  EXPECT_EQ(described.at("size"), 5u);
  EXPECT_EQ(described.at("uploading"), false);
  EXPECT_EQ(described.at("storageFull"), false);
  EXPECT_GT(described.at("mtime").to_number<double>(), 1e9);
  EXPECT_EQ(contents(file), "alpha");
  EXPECT_THAT(names(docs), ElementsAre("a.txt"));

  auto renamed = call({{"op", "rename"}, {"id", file}, {"parent", "1"}, {"name", "b.txt"}});
  EXPECT_EQ(renamed.json.at("item").at("parent"), "1");
  auto written =
      call({{"op", "write"}, {"id", file}, {"size", 4}, {"base", version(file)}}, "beta");
  EXPECT_FALSE(written.json.contains("restore"));
  EXPECT_EQ(contents(file), "beta");
  EXPECT_EQ(readWholeFile(store() / "b.txt"), "beta");

  std::vector<std::string> all;
  Reply listed = call({{"op", "all"}});
  for (auto& entry : listed.json.at("items").as_array())
    all.emplace_back(entry.at("name").as_string());
  EXPECT_THAT(all, UnorderedElementsAre("docs", "b.txt"));

  EXPECT_TRUE(call({{"op", "delete"}, {"id", file}}).json.empty());
  EXPECT_FALSE(std::filesystem::exists(store() / "b.txt"));
  EXPECT_EQ(word({{"op", "item"}, {"id", file}}), "notFound");

  // The root: an unnamed writable folder that is its own parent.
  json::object root = item("1");
  for (const char* key : {"id", "parent"}) EXPECT_EQ(root.at(key), "1");
  EXPECT_EQ(root.at("name"), "");
  EXPECT_EQ(root.at("dir"), true);
  EXPECT_EQ(root.at("writable"), true);
  EXPECT_EQ(root.at("version"), "");
}

struct Refused {
  const char* what;
  json::object request;
  std::string body;
  const char* word;
};

TEST_F(CompanionProtocolTest, RefusalsCarryTheirWords) {
  std::string docs = createDir("1", "docs");
  std::string file = createFile(docs, "a.txt", "alpha");
  createFile("1", "b.txt", "b");
  std::string inner = createDir(docs, "inner");
  // clang-format off
  std::vector<Refused> cases = {
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
  for (auto& c : cases) EXPECT_EQ(word(c.request, c.body), c.word) << c.what;
  EXPECT_EQ(contents(file), "alpha");
  EXPECT_THAT(names(docs), ElementsAre("a.txt", "inner"));
}

TEST_F(CompanionProtocolTest, ReadOnlyRefusesEveryChangeWithAccess) {
  std::string file = createFile("1", "a.txt", "alpha");
  stop();
  qc::Options options;
  options.readOnly = true;
  start(options);
  EXPECT_EQ(item(file).at("writable"), false);
  EXPECT_EQ(word({{"op", "create"}, {"parent", "1"}, {"name", "x"}, {"dir", true}}), "access");
  EXPECT_EQ(
      word({{"op", "create"}, {"parent", "1"}, {"name", "x"}, {"dir", false}, {"size", 1}}, "x"),
      "access");
  EXPECT_EQ(word({{"op", "write"}, {"id", file}, {"size", 1}, {"base", version(file)}}, "x"),
            "access");
  EXPECT_EQ(word({{"op", "rename"}, {"id", file}, {"parent", "1"}, {"name", "b"}}), "access");
  EXPECT_EQ(word({{"op", "delete"}, {"id", file}}), "access");
  EXPECT_EQ(contents(file), "alpha");
}

TEST_F(CompanionProtocolTest, ContentsOverTheLimitAreTooBig) {
  stop();
  qc::Options options;
  options.maxFileSize = 4;
  start(options);
  EXPECT_EQ(word({{"op", "create"}, {"parent", "1"}, {"name", "x"}, {"dir", false}, {"size", 5}},
                 "12345"),
            "tooBig");
  std::string file = createFile("1", "a", "1234");
  EXPECT_EQ(word({{"op", "write"}, {"id", file}, {"size", 5}, {"base", version(file)}}, "12345"),
            "tooBig");
  EXPECT_EQ(contents(file), "1234");
  EXPECT_THAT(names("1"), ElementsAre("a"));
}

TEST_F(CompanionProtocolTest, IdsSurviveRenameMoveAndRestartAndAreNeverReused) {
  std::string docs = createDir("1", "docs");
  std::string file = createFile("1", "a.txt", "alpha");
  call({{"op", "rename"}, {"id", file}, {"parent", "1"}, {"name", "b.txt"}});
  call({{"op", "rename"}, {"id", file}, {"parent", docs}, {"name", "b.txt"}});
  call({{"op", "rename"}, {"id", docs}, {"parent", "1"}, {"name", "papers"}});
  restart();
  EXPECT_EQ(item(file).at("parent"), json::value(docs));
  EXPECT_EQ(item(docs).at("name"), "papers");
  EXPECT_EQ(contents(file), "alpha");
  EXPECT_EQ(readWholeFile(store() / "papers" / "b.txt"), "alpha");

  // Ids are never reused, not even after a restart.
  call({{"op", "delete"}, {"id", file}});
  restart();
  EXPECT_NE(createFile("1", "a", "1"), file);
  EXPECT_EQ(word({{"op", "item"}, {"id", file}}), "notFound");
}

TEST_F(CompanionProtocolTest, VersionsChangeWithContentsOnly) {
  std::string file = createFile("1", "a", "one");
  std::string v1 = version(file);
  call({{"op", "rename"}, {"id", file}, {"parent", "1"}, {"name", "b"}});
  EXPECT_EQ(version(file), v1);
  restart();
  EXPECT_EQ(version(file), v1);
  call({{"op", "write"}, {"id", file}, {"size", 3}, {"base", v1}}, "one");
  std::string v2 = version(file);
  EXPECT_NE(v2, v1);
  word({{"op", "write"}, {"id", file}, {"size", 1}, {"base", "nonsense"}}, "x");
  EXPECT_EQ(version(file), v2);
}

TEST_F(CompanionProtocolTest, AnchorRisesOnChangesOnly) {
  std::string docs = createDir("1", "docs");
  std::string file = createFile(docs, "a", "one");
  std::uint64_t before = anchor();
  call({{"op", "item"}, {"id", file}});
  call({{"op", "read"}, {"id", file}});
  call({{"op", "list"}, {"id", docs}});
  call({{"op", "all"}});
  call({{"op", "rename"}, {"id", file}, {"parent", docs}, {"name", "a"}});   // nothing moves
  word({{"op", "delete"}, {"id", docs}});                                    // refused
  word({{"op", "create"}, {"parent", docs}, {"name", "a"}, {"dir", true}});  // refused
  EXPECT_EQ(anchor(), before);
  restart();
  EXPECT_EQ(anchor(), before);

  std::vector<std::function<void()>> changes = {
      [&] { createFile(docs, "b", "two"); },
      [&] {
        call({{"op", "rename"}, {"id", file}, {"parent", "1"}, {"name", "a"}});
      },
      [&] {
        call({{"op", "write"}, {"id", file}, {"size", 1}, {"base", version(file)}}, "x");
      },
      [&] {
        call({{"op", "write"}, {"id", file}, {"size", 1}, {"base", "stale"}}, "y");
      },
      [&] {
        call({{"op", "delete"}, {"id", file}});
      },
  };
  for (std::size_t i = 0; i < changes.size(); ++i) {
    std::uint64_t was = anchor();
    changes[i]();
    EXPECT_GT(anchor(), was) << "change " << i;
  }
}

TEST_F(CompanionProtocolTest, StaleBaseKeepsBothContents) {
  std::string file = createFile("1", "report.txt", "theirs");
  std::string current = version(file);
  for (const char* mine : {"mine 1", "mine 2"}) {
    Reply reply = call({{"op", "write"}, {"id", file}, {"size", 6}, {"base", "old"}}, mine);
    EXPECT_EQ(reply.json.at("restore"), true);
    EXPECT_EQ(reply.json.at("item").at("version"), json::value(current));
  }
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

TEST_F(CompanionProtocolTest, ManyClientsAtOnceWhileOneStalls) {
  RawConnection stalled(socket());
  ASSERT_TRUE(stalled.send(requestFrame(
      {{"op", "create"}, {"parent", "1"}, {"name", "s"}, {"dir", false}, {"size", 1000}},
      "only part")));
  std::vector<std::thread> threads;
  for (int i = 0; i < 16; ++i)
    threads.emplace_back([this, i] { createFile("1", "f" + std::to_string(i), "x"); });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(names("1").size(), 16u);
  std::set<std::string> ids;
  Reply listed = call({{"op", "all"}});
  for (auto& entry : listed.json.at("items").as_array())
    ids.insert(std::string(entry.at("id").as_string()));
  EXPECT_EQ(ids.size(), 16u);
}

}  // namespace
}  // namespace QuorvelleDrive::testing

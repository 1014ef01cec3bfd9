// Symbolic links in a local store travel as link files ("x.rclonelink" holding the target): a
// link made in the store is listed and read as its link file, one made through the protocol is
// a real link in the store, and no link is ever followed, by requests, scans, the watcher or
// --check.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>

#include "companion/check.h"
#include "companion/companion_fixture.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

class CompanionLinksTest : public CompanionTest {
 protected:
  // Every file item as path in the store → its bytes, as the protocol reads them.
  std::map<std::string, std::string> files() {
    std::map<std::string, std::pair<std::string, std::string>> byId;  // id → parent, name
    std::map<std::string, bool> dirs;
    Reply reply = call({{"op", "all"}});
    for (auto& entry : reply.json.at("items").as_array()) {
      std::string id(entry.at("id").as_string());
      byId[id] = {std::string(entry.at("parent").as_string()),
                  std::string(entry.at("name").as_string())};
      dirs[id] = entry.at("dir").as_bool();
    }
    std::map<std::string, std::string> out;
    for (auto& [id, place] : byId) {
      std::string path = place.second;
      for (auto up = byId.find(place.first); up != byId.end(); up = byId.find(up->second.first))
        path = up->second.second + "/" + path;
      out[path] = dirs[id] ? "<dir>" : contents(id);
    }
    return out;
  }
  std::string idOf(const std::string& folder, const std::string& name) {
    Reply reply = call({{"op", "list"}, {"id", folder}});
    for (auto& entry : reply.json.at("items").as_array())
      if (entry.at("name").as_string() == name) return std::string(entry.at("id").as_string());
    return "";
  }
  fs::path outside() const { return temp_.path() / "outside"; }
  // A folder beside the store with a file in it, which no link may reach.
  void makeOutside() {
    fs::create_directories(outside());
    std::ofstream(outside() / "secret.txt") << "secret";
  }
  void expectOutsideUntouched() {
    EXPECT_EQ(readWholeFile(outside() / "secret.txt"), "secret");
    std::vector<std::string> names;
    for (auto& entry : fs::directory_iterator(outside()))
      names.push_back(entry.path().filename().string());
    EXPECT_THAT(names, ElementsAre("secret.txt"));
  }
  bool isLink(const fs::path& path, const std::string& target) {
    std::error_code ec;
    return fs::is_symlink(fs::symlink_status(path, ec)) && fs::read_symlink(path, ec) == target;
  }
};

// Relative, absolute, dangling, to a folder inside and to one outside: each is its link file,
// holding the target exactly, with the target's length as its size; nothing behind it shows.
TEST_F(CompanionLinksTest, ALinkMadeInTheStoreIsListedAndReadAsItsLinkFile) {
  makeOutside();
  fs::create_directories(store() / "docs");
  std::ofstream(store() / "docs" / "a.txt") << "a";
  const std::map<std::string, std::string> links = {
      {"relative", "docs/a.txt"},    {"absolute", (store() / "docs" / "a.txt").string()},
      {"dangling", "no/such/place"}, {"folder", "docs"},
      {"away", outside().string()},  {"up", "../outside/secret.txt"},
  };
  for (auto& [name, target] : links) fs::create_symlink(target, store() / name);
  fs::create_symlink("../a.txt", store() / "docs" / "back");
  // Made while stopped (the start-up scan) and while running (the watcher).
  restart();
  fs::create_symlink("docs", store() / "later");

  std::map<std::string, std::string> expected = {{"docs", "<dir>"},
                                                 {"docs/a.txt", "a"},
                                                 {"docs/back.rclonelink", "../a.txt"},
                                                 {"later.rclonelink", "docs"}};
  for (auto& [name, target] : links) expected[name + ".rclonelink"] = target;
  EXPECT_TRUE(eventually([&] { return files() == expected; }));
  auto described = item(idOf("1", "absolute.rclonelink"));
  EXPECT_EQ(described.at("size").to_number<std::uint64_t>(), links.at("absolute").size());
  EXPECT_FALSE(described.at("dir").as_bool());
  expectOutsideUntouched();
}

// Created, rewritten, renamed, moved and removed through the protocol: the store holds the real
// link all along, never a file named *.rclonelink, and the item keeps its id.
TEST_F(CompanionLinksTest, ALinkFileMadeThroughTheProtocolIsARealLinkInTheStore) {
  std::string docs = createDir("1", "docs");
  std::string link = createFile("1", "x.rclonelink", "docs/a.txt");
  EXPECT_TRUE(isLink(store() / "x", "docs/a.txt"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(store() / "x.rclonelink")));
  EXPECT_EQ(contents(link), "docs/a.txt");

  Reply rewritten = call(writeRequest(link, "/elsewhere", version(link)), "/elsewhere");
  EXPECT_FALSE(rewritten.json.contains("restore"));
  EXPECT_TRUE(isLink(store() / "x", "/elsewhere"));
  EXPECT_EQ(contents(link), "/elsewhere");

  call({{"op", "rename"}, {"id", link}, {"parent", docs}, {"name", "y.rclonelink"}});
  EXPECT_TRUE(isLink(store() / "docs" / "y", "/elsewhere"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(store() / "x")));
  EXPECT_EQ(idOf(docs, "y.rclonelink"), link);
  restart();  // the scan finds the link where the index has it
  EXPECT_EQ(idOf(docs, "y.rclonelink"), link);
  EXPECT_EQ(contents(link), "/elsewhere");

  EXPECT_TRUE(call({{"op", "delete"}, {"id", link}}).json.empty());
  EXPECT_FALSE(fs::exists(fs::symlink_status(store() / "docs" / "y")));
  EXPECT_THAT(names(docs), IsEmpty());
}

// What cannot be a link (empty, a NUL, longer than a path) is kept whole as a regular file; a
// link renamed to a name without the suffix becomes a regular file holding its target; a
// regular file keeps being one under a link file's name, and hides a link of the same name.
TEST_F(CompanionLinksTest, BytesThatCannotBeALinkAreKeptAsAFile) {
  const std::vector<std::string> kept = {"", std::string("a\0b", 3), std::string(5000, 'p')};
  for (std::size_t i = 0; i < kept.size(); ++i) {
    std::string name = "bad" + std::to_string(i) + ".rclonelink";
    std::string id = createFile("1", name, kept[i]);
    EXPECT_EQ(contents(id), kept[i]) << name;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(store() / name))) << name;
  }
  // A link given such bytes becomes that file; the link goes.
  std::string link = createFile("1", "l.rclonelink", "target");
  call(writeRequest(link, std::string(5000, 'q'), version(link)), std::string(5000, 'q'));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(store() / "l.rclonelink")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(store() / "l")));
  EXPECT_EQ(contents(link), std::string(5000, 'q'));

  std::string other = createFile("1", "m.rclonelink", "there");
  call({{"op", "rename"}, {"id", other}, {"parent", "1"}, {"name", "m.txt"}});
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(store() / "m.txt")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(store() / "m")));
  EXPECT_EQ(contents(other), "there");
  call({{"op", "rename"}, {"id", other}, {"parent", "1"}, {"name", "n.rclonelink"}});
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(store() / "n.rclonelink")));
  call(writeRequest(other, "still a file", version(other)), "still a file");
  EXPECT_EQ(readWholeFile(store() / "n.rclonelink"), "still a file");

  fs::create_symlink("behind", store() / "n");
  fs::create_symlink("seen", store() / "o");
  EXPECT_TRUE(eventually([&] { return idOf("1", "o.rclonelink") != ""; }));
  EXPECT_EQ(contents(idOf("1", "n.rclonelink")), "still a file");
  auto root = names("1");
  EXPECT_EQ(std::count(root.begin(), root.end(), "n.rclonelink"), 1);
}

// A link takes the name its target would have in the store, and the other way round.
TEST_F(CompanionLinksTest, ALinkAndAnEntryOfItsNameRefuseEachOther) {
  createFile("1", "f", "a file");
  createDir("1", "d");
  std::string link = createFile("1", "l.rclonelink", "t");
  EXPECT_EQ(word(fileRequest("1", "f.rclonelink", "t"), "t"), "exists");
  EXPECT_EQ(word(fileRequest("1", "d.rclonelink", "t"), "t"), "exists");
  EXPECT_EQ(word(fileRequest("1", "l", "x"), "x"), "exists");
  EXPECT_EQ(word({{"op", "create"}, {"parent", "1"}, {"name", "l"}, {"dir", true}}), "exists");
  EXPECT_EQ(word({{"op", "rename"}, {"id", link}, {"parent", "1"}, {"name", "f.rclonelink"}}),
            "exists");
  EXPECT_THAT(names("1"), UnorderedElementsAre("d", "f", "l.rclonelink"));
  // A write on a stale base keeps both: the conflict copy is a link too.
  call(writeRequest(link, "u", "stale"), "u");
  EXPECT_TRUE(isLink(store() / "l", "t"));
  EXPECT_TRUE(isLink(store() / "l (conflict 1)", "u"));
}

// Links to a folder and to a file outside the store: reading gives the target's text, writing
// replaces the link, removing removes the link, and nothing outside is listed, read, written or
// removed, by requests, by the watcher (a change outside is never seen) or by --check.
TEST_F(CompanionLinksTest, ALinkIsNeverFollowed) {
  makeOutside();
  fs::create_symlink(outside(), store() / "folder");
  fs::create_symlink(outside() / "secret.txt", store() / "file");
  restart();
  std::string folder = idOf("1", "folder.rclonelink");
  std::string file = idOf("1", "file.rclonelink");
  ASSERT_NE(folder, "");
  ASSERT_NE(file, "");
  EXPECT_EQ(contents(file), (outside() / "secret.txt").string());
  EXPECT_EQ(word({{"op", "list"}, {"id", folder}}), "notDir");
  EXPECT_EQ(word(fileRequest(folder, "planted.txt", "p"), "p"), "notDir");

  std::ofstream(outside() / "new.txt") << "made outside";
  std::ofstream(store() / "marker.txt") << "m";  // once seen, the watcher has run after it
  EXPECT_TRUE(eventually([&] { return idOf("1", "marker.txt") != ""; }));
  fs::remove(outside() / "new.txt");
  EXPECT_THAT(names("1"),
              UnorderedElementsAre("file.rclonelink", "folder.rclonelink", "marker.txt"));
  EXPECT_EQ(listed({{"op", "all"}}).size(), 3u);

  call(writeRequest(file, "elsewhere", version(file)), "elsewhere");
  EXPECT_TRUE(isLink(store() / "file", "elsewhere"));
  EXPECT_TRUE(call({{"op", "delete"}, {"id", folder}}).json.empty());
  EXPECT_FALSE(fs::exists(fs::symlink_status(store() / "folder")));
  expectOutsideUntouched();

  fs::create_symlink(outside(), store() / "again");
  EXPECT_TRUE(eventually([&] { return idOf("1", "again.rclonelink") != ""; }));
  stop();
  EXPECT_THAT(qc::checkStore(store()), IsEmpty());
  fs::create_symlink(outside(), store() / "unseen");
  EXPECT_THAT(qc::checkStore(store()),
              ElementsAre("\"unseen.rclonelink\" is on disk but not in the index"));
  expectOutsideUntouched();
}

// The companion's own folder is never reached through a link: its index would live elsewhere.
TEST(CompanionOwnFolder, AHiddenFolderThatIsALinkIsRefused) {
  TempDir temp;
  fs::create_directories(temp.path() / "store");
  fs::create_directories(temp.path() / "elsewhere");
  fs::create_directory_symlink(temp.path() / "elsewhere", temp.path() / "store" / ".quorvelle");
  try {
    qc::Catalog catalog(temp.path() / "store", false);
    ADD_FAILURE() << "served a store whose .quorvelle is a link";
  } catch (const std::exception& error) {
    EXPECT_THAT(error.what(), ::testing::HasSubstr("not a folder (a symbolic link?)"));
  }
  EXPECT_THROW(qc::checkStore(temp.path() / "store"), std::exception);
  EXPECT_TRUE(fs::is_empty(temp.path() / "elsewhere"));
}

}  // namespace
}  // namespace QuorvelleDrive::testing

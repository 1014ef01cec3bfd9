// Changes other programs make in the store directory, while the companion runs and while it is
// stopped, become items like changes that came through the socket; a file another program is
// writing is never replaced under it; a rebuilt index never mistakes an old id for a new one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <optional>
#include <utility>

#include "companion/check.h"
#include "companion/companion_fixture.h"
#include "hosts/child_process.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class CompanionStoreEditsTest : public CompanionTest {
 protected:
  void put(const fs::path& relative, const std::string& bytes) {
    std::ofstream(store() / relative, std::ios::binary | std::ios::trunc) << bytes;
  }
  // The id of the entry named `name` in `folder`, or "" when there is none.
  std::string idOf(const std::string& folder, const std::string& name) {
    Reply reply = call({{"op", "list"}, {"id", folder}});
    for (auto& entry : reply.json.at("items").as_array())
      if (entry.at("name").as_string() == name) return std::string(entry.at("id").as_string());
    return "";
  }
  // Every item by its path in the store ("a/b.txt"), as the companion lists them: path → id.
  // A path listed twice shows as "<twice>".
  std::map<std::string, std::string> tree() {
    std::map<std::string, std::pair<std::string, std::string>> byId;  // id → parent, name
    Reply reply = call({{"op", "all"}});
    for (auto& entry : reply.json.at("items").as_array())
      byId[std::string(entry.at("id").as_string())] = {std::string(entry.at("parent").as_string()),
                                                       std::string(entry.at("name").as_string())};
    std::map<std::string, std::string> paths;
    for (auto& [id, place] : byId) {
      std::string path = place.second;
      for (auto up = byId.find(place.first); up != byId.end(); up = byId.find(up->second.first))
        path = up->second.second + "/" + path;
      paths[path] = paths.count(path) ? "<twice>" : id;
    }
    return paths;
  }
  bool treeBecomes(const std::vector<std::string>& paths) {
    return eventually([&] {
      std::vector<std::string> now;
      for (auto& [path, id] : tree()) now.push_back(id == "<twice>" ? path + " twice" : path);
      return now == paths;
    });
  }
};

TEST_F(CompanionStoreEditsTest, EditsWhileRunningArePickedUp) {
  std::uint64_t start = anchor();
  fs::create_directory(store() / "notes");
  put("notes/a.txt", "first");
  ASSERT_TRUE(eventually([&] { return idOf("1", "notes") != ""; }));
  std::string notes = idOf("1", "notes");
  ASSERT_TRUE(eventually([&] { return idOf(notes, "a.txt") != ""; }));
  std::string file = idOf(notes, "a.txt");
  EXPECT_EQ(contents(file), "first");
  EXPECT_GT(anchor(), start);

  std::string was = version(file);
  std::uint64_t before = anchor();
  put("notes/a.txt", "second, longer");
  EXPECT_TRUE(eventually([&] { return version(file) != was; }));
  EXPECT_GT(anchor(), before);

  fs::rename(store() / "notes" / "a.txt", store() / "b.txt");
  EXPECT_TRUE(eventually([&] { return idOf("1", "b.txt") == file; }));

  fs::remove(store() / "b.txt");
  EXPECT_TRUE(eventually([&] { return word({{"op", "item"}, {"id", file}}) == "notFound"; }));
}

// Each burst of events rescans only the folders it names; what moves between them, into the store
// or out of it, and what is inside, still comes out right.
TEST_F(CompanionStoreEditsTest, TreesMovedInOutAndAroundWhileRunning) {
  std::string a = createDir("1", "a");
  std::string b = createDir("1", "b");
  std::string inner = createDir(a, "inner");
  std::string file = createFile(inner, "f.txt", "f");
  fs::rename(store() / "a" / "inner", store() / "b" / "inner");
  ASSERT_TRUE(treeBecomes({"a", "b", "b/inner", "b/inner/f.txt"}));
  EXPECT_EQ(tree()["b/inner"], inner);
  EXPECT_EQ(tree()["b/inner/f.txt"], file);
  put("b/inner/g.txt", "its watch moved with it");
  ASSERT_TRUE(treeBecomes({"a", "b", "b/inner", "b/inner/f.txt", "b/inner/g.txt"}));

  fs::create_directories(temp_.path() / "outside" / "t" / "u");
  put("../outside/t/u/x.txt", "brought in");
  fs::rename(temp_.path() / "outside" / "t", store() / "a" / "t");
  fs::rename(store() / "b", temp_.path() / "outside" / "b");
  ASSERT_TRUE(treeBecomes({"a", "a/t", "a/t/u", "a/t/u/x.txt"}));
  put("a/t/u/y.txt", "new folders are watched too");
  ASSERT_TRUE(treeBecomes({"a", "a/t", "a/t/u", "a/t/u/x.txt", "a/t/u/y.txt"}));

  fs::remove_all(store() / "a");
  fs::create_directories(store() / "a" / "other");
  // Whether "a" keeps its id depends on the watcher seeing the removal and the new folder in
  // one burst, which timing decides; what is inside must be right either way.
  ASSERT_TRUE(treeBecomes({"a", "a/other"}));
  EXPECT_EQ(word({{"op", "item"}, {"id", file}}), "notFound");
}

TEST_F(CompanionStoreEditsTest, EditsWhileStoppedArePickedUpAtStartAndOnlyFilesAndFoldersCount) {
  std::string kept = createFile("1", "kept.txt", "same");
  std::string edited = createFile("1", "edited.txt", "old");
  std::string gone = createFile("1", "gone.txt", "x");
  std::string moved = createFile("1", "moved.txt", "m");
  std::string was = version(edited);
  std::string keptVersion = version(kept);
  std::uint64_t before = anchor();
  stop();
  put("edited.txt", "new and longer");
  fs::create_directory(store() / "sub");
  fs::rename(store() / "moved.txt", store() / "sub" / "moved.txt");
  // The worst case of a deleted file whose inode a new one reuses: same inode, other bytes.
  fs::rename(store() / "gone.txt", store() / "fresh.txt");
  put("fresh.txt", "fresh");
  // Neither a special file nor the companion's own folder becomes an item.
  ASSERT_EQ(::mkfifo((store() / "pipe").c_str(), 0600), 0);
  fs::create_directory(store() / ".quorvelle" / "extra");
  start();
  EXPECT_GT(anchor(), before);
  EXPECT_NE(version(edited), was);
  EXPECT_EQ(contents(edited), "new and longer");
  EXPECT_EQ(version(kept), keptVersion);
  EXPECT_EQ(word({{"op", "item"}, {"id", gone}}), "notFound");
  EXPECT_EQ(idOf(idOf("1", "sub"), "moved.txt"), moved);
  EXPECT_THAT(names("1"), ElementsAre("edited.txt", "fresh.txt", "kept.txt", "sub"));
}

TEST_F(CompanionStoreEditsTest, EditNotYetSeenIsNeverOverwritten) {
  for (bool running : {true, false}) {
    std::string name = running ? "running.txt" : "stopped.txt";
    std::string file = createFile("1", name, "from the host");
    std::string base = version(file);
    if (!running) stop();
    put(name, "typed by the user");
    if (!running) start();
    Reply reply = call(writeRequest(file, "host", base), "host");
    EXPECT_EQ(reply.json.at("restore"), true) << name;
    EXPECT_EQ(contents(file), "typed by the user") << name;
    EXPECT_EQ(readWholeFile(store() / qc::conflictName(name, 1)), "host") << name;
  }
}

// A child that opens `path` for appending, appends "early" and holds it open until told to
// append "late"; told at the latest when the object goes.
class Appender {
 public:
  explicit Appender(const std::string& path) {
    if (::pipe(ready_) != 0 || ::pipe(go_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(go_[1]);
      char byte = 0;
      int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
      bool ok = fd >= 0 && ::write(fd, "early\n", 6) == 6 && ::write(ready_[1], &byte, 1) == 1 &&
                ::read(go_[0], &byte, 1) == 1 && ::write(fd, "late\n", 5) == 5;
      ::_exit(ok ? 0 : 1);
    }
    char byte = 0;
    ready = pid_ > 0 && ::read(ready_[0], &byte, 1) == 1;
  }
  ~Appender() { finish(); }
  // Its exit status once it has appended "late".
  std::optional<int> finish() {
    if (pid_ <= 0) return std::nullopt;
    (void)!::write(go_[1], "x", 1);
    for (int fd : {ready_[0], ready_[1], go_[0], go_[1]}) ::close(fd);
    return reap(std::exchange(pid_, -1), std::chrono::seconds(10));
  }

  bool ready = false;

 private:
  int ready_[2] = {-1, -1};
  int go_[2] = {-1, -1};
  pid_t pid_ = -1;
};

// A program holding a file open for writing (a logger, a database) keeps writing into the store:
// a rewrite with the current base becomes a conflict copy rather than replace the file under it.
TEST_F(CompanionStoreEditsTest, AFileHeldOpenForWritingIsNeverReplaced) {
  std::string file = createFile("1", "log.txt", "start\n");
  std::string seen = version(file);
  // The watcher takes in each append, so that the host's base below is the current version.
  auto appendSeen = [&] { return eventually([&] { return version(file) != seen; }); };
  Appender appender((store() / "log.txt").string());
  ASSERT_TRUE(appender.ready);
  ASSERT_TRUE(appendSeen());
  seen = version(file);
  Reply reply = call(writeRequest(file, "host", seen), "host");
  EXPECT_TRUE(reply.json.contains("restore"));
  EXPECT_EQ(appender.finish(), 0);
  EXPECT_EQ(readWholeFile(store() / "log.txt"), "start\nearly\nlate\n");
  EXPECT_EQ(readWholeFile(store() / qc::conflictName("log.txt", 1)), "host");

  ASSERT_TRUE(appendSeen());
  call(writeRequest(file, "host again", version(file)), "host again");
  EXPECT_EQ(readWholeFile(store() / "log.txt"), "host again") << "replaced once it is closed";
}

// An index made afresh (its folder removed, or the store copied without it) shares no id or
// version with the one before, so a change a host queued against the old one finds nothing.
TEST_F(CompanionStoreEditsTest, ARebuiltIndexNeverTakesAQueuedChangeForAnotherFile) {
  std::string file = createFile("1", "a.txt", "queued against");
  std::string base = version(file);
  stop();
  fs::remove(store() / "a.txt");
  put("b.txt", "another file");
  fs::remove_all(store() / ".quorvelle");
  start();
  EXPECT_EQ(word(writeRequest(file, "mine", base), "mine"), "notFound");
  EXPECT_EQ(word({{"op", "rename"}, {"id", file}, {"parent", "1"}, {"name", "c.txt"}}), "notFound");
  EXPECT_EQ(word({{"op", "delete"}, {"id", file}}), "notFound");
  EXPECT_EQ(readWholeFile(store() / "b.txt"), "another file");
  EXPECT_NE(version(idOf("1", "b.txt")), base);
}

TEST_F(CompanionStoreEditsTest, CheckNamesEachMismatchAndChangesNothing) {
  createFile("1", "edited.txt", "one");
  createFile("1", "gone.txt", "two");
  createDir("1", "kept");
  EXPECT_THROW(qc::checkStore(store()), std::runtime_error) << "refused while serving";
  stop();
  EXPECT_THAT(qc::checkStore(store()), IsEmpty());

  put("edited.txt", "changed behind its back");
  put("kept/new.txt", "unknown");  // before the removal, so it cannot take over gone.txt's inode
  fs::remove(store() / "gone.txt");
  put(".quorvelle/staging/in-left", "half");
  auto problems = qc::checkStore(store());
  EXPECT_THAT(problems, ::testing::UnorderedElementsAre(
                            "staged bytes left over: in-left",
                            ::testing::HasSubstr("\"edited.txt\" in 1) has contents the index"),
                            ::testing::HasSubstr("\"gone.txt\" in 1) is in the index but not"),
                            "\"new.txt\" is on disk but not in the index"));
  EXPECT_EQ(qc::checkStore(store()), problems);
}

}  // namespace
}  // namespace QuorvelleDrive::testing

// The mount's outbox over the real companion: changes made offline land once it is back, parent
// first; changes to an item not yet sent reach the companion once; a mount killed at any moment
// loses nothing whose close returned and doubles nothing the companion had already taken.
#if defined(QD_COMPANION_BINARY) && defined(QD_QDRIVE_BINARY)

#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <random>
#include <set>
#include <thread>

#include "hosts/mount_fixture.h"
#include "outbox.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class OutboxMountTest : public MountTest {
 protected:
  OutboxMountTest() { relayed_ = true; }

  // SIGKILL, as a crash would: nothing of the mount's own ending runs.
  void killMount() {
    mount_->signal(SIGKILL);
    mount_->wait();
    mount_.reset();
    runProgram("/usr/bin/fusermount3", {"-u", "-z", mountpoint().string()}, env());
  }
  fs::path outboxFolder() const { return temp_.path() / "state/quorvelle/default/mount/g/outbox"; }
  std::set<std::string> namesIn(const fs::path& folder) const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
      if (entry.path().filename().string() != ".quorvelle")  // the companion's own
        names.insert(entry.path().filename().string());
    return names;
  }
  Finished inMount(const std::string& command) {
    return shell("cd " + mountpoint().string() + " && " + command);
  }
};

// Everything that needs nothing new from the companion works while it is down; what was made
// lands once it is back, each folder before what it holds.
TEST_F(OutboxMountTest, OfflineChangesLandOnceTheCompanionIsBack) {
  for (const char* name : {"edit.txt", "cut.txt", "move.txt", "gone.txt", "read.txt", "cold.txt"})
    put(store() / name, "0123456789");
  fs::create_directories(store() / "known");
  put(store() / "known" / "inner.txt", "inner");
  ASSERT_TRUE(eventually([&] { return fs::exists(in("cold.txt")); }));
  ASSERT_EQ(namesIn(in("known")), (std::set<std::string>{"inner.txt"}));
  for (const char* name : {"read.txt", "cut.txt"}) ASSERT_EQ(readWholeFile(in(name)), "0123456789");
  companion_.reset();

  put(in("new.txt"), "made offline");
  ASSERT_EQ(inMount("mkdir -p tree/a/b && echo deep > tree/a/b/deep.txt").status, 0);
  put(in("edit.txt"), "edited offline");
  ASSERT_EQ(::truncate(in("cut.txt").c_str(), 4), 0) << std::strerror(errno);
  ASSERT_EQ(::rename(in("move.txt").c_str(), in("known/moved.txt").c_str()), 0);
  ASSERT_EQ(::unlink(in("gone.txt").c_str()), 0);
  EXPECT_EQ(namesIn(in("known")), (std::set<std::string>{"inner.txt", "moved.txt"}));
  EXPECT_EQ(readWholeFile(in("read.txt")), "0123456789") << "a materialised file reads offline";
  EXPECT_EQ(readWholeFile(in("tree/a/b/deep.txt")), "deep\n");
  int fd = ::open(in("cold.txt").c_str(), O_RDONLY | O_CLOEXEC);
  char byte;
  int err = fd < 0 ? errno : ::read(fd, &byte, 1) < 0 ? errno : 0;
  if (fd >= 0) ::close(fd);
  EXPECT_EQ(err, EIO) << "a file never fetched cannot be read offline";
  auto pending = qdrive({"status", "--json"});
  EXPECT_NE(pending.find(R"("change":"create","id":null,"name":"deep.txt","folder":false,)"
                         R"("state":"waiting for its parent")"),
            std::string::npos)
      << pending;

  startCompanion();
  ASSERT_TRUE(landed()) << status();
  const std::pair<const char*, const char*> expected[] = {
      {"new.txt", "made offline"},       {"tree/a/b/deep.txt", "deep\n"},
      {"edit.txt", "edited offline"},    {"cut.txt", "0123"},
      {"known/moved.txt", "0123456789"}, {"known/inner.txt", "inner"},
  };
  for (const auto& [name, bytes] : expected)
    EXPECT_EQ(readWholeFile(store() / name), bytes) << name;
  for (const char* name : {"move.txt", "gone.txt"})
    EXPECT_FALSE(fs::exists(store() / name)) << name;
  std::vector<std::string> made;
  for (const auto& request : relay_->requests())
    if (request.op == "create") made.push_back(request.name);
  auto at = [&](const std::string& name) { return std::find(made.begin(), made.end(), name); };
  EXPECT_TRUE(at("tree") < at("a") && at("a") < at("b") && at("b") < at("deep.txt"))
      << ::testing::PrintToString(made);
}

// Changes to an item that has not gone out merge: what reaches the companion is counted.
TEST_F(OutboxMountTest, ChangesToAnItemNotYetSentReachTheCompanionOnce) {
  struct Case {
    const char* command;
    const char* name;  // what the store holds afterwards, if anything
    const char* bytes;
    int creates, writes, renames;
  };
  const Case cases[] = {
      // Created, written three times and renamed twice while open.
      {"exec 3>c1; echo one >&3; mv c1 c2; echo two >&3; mv c2 c3; echo three >&3; exec 3>&-", "c3",
       "one\ntwo\nthree\n", 1, 0, 0},
      // A shell's redirect sends no empty version first.
      {"echo hi > r.txt", "r.txt", "hi\n", 1, 0, 0},
      // Created and removed before its last close: nothing.
      {"exec 3>t.tmp; echo x >&3; rm t.tmp; echo y >&3; exec 3>&-", nullptr, nullptr, 0, 0, 0},
      // Rewritten while open: the last bytes, once.
      {"exec 3>>r.txt; echo a >&3; echo b >&3; exec 3>&-", "r.txt", "hi\na\nb\n", 0, 1, 0},
  };
  for (const auto& c : cases) {
    relay_->forget();
    ASSERT_EQ(inMount(c.command).status, 0) << c.command;
    ASSERT_TRUE(landed()) << c.command;
    EXPECT_EQ(relay_->count("create"), c.creates) << c.command;
    EXPECT_EQ(relay_->count("write"), c.writes) << c.command;
    EXPECT_EQ(relay_->count("rename"), c.renames) << c.command;
    if (c.name) {
      EXPECT_EQ(readWholeFile(store() / c.name), c.bytes) << c.command;
    }
  }
  EXPECT_EQ(namesIn(store()), (std::set<std::string>{"c3", "r.txt"}));
}

// The companion took each change but the mount died before it recorded the reply: the next
// mount finds each one done and sends none of them again.
TEST_F(OutboxMountTest, ChangesTakenButNotRecordedAreNotDoubled) {
  for (const char* name : {"w.txt", "r.txt", "d.txt"}) put(in(name), "v1");
  ASSERT_EQ(::mkdir(in("f").c_str(), 0755), 0);
  ASSERT_TRUE(landed());
  relay_->setMode(CompanionRelay::Mode::holdReplies);
  ASSERT_EQ(inMount("echo new > f/n.txt && echo v2 > w.txt && mv r.txt r2.txt && rm d.txt").status,
            0);
  ASSERT_TRUE(eventually([&] {
    return readWholeFile(store() / "f/n.txt") == "new\n" &&
           readWholeFile(store() / "w.txt") == "v2\n" && fs::exists(store() / "r2.txt") &&
           !fs::exists(store() / "d.txt");
  }));
  killMount();
  relay_->setMode(CompanionRelay::Mode::pass);
  relay_->forget();
  mount();
  ASSERT_TRUE(landed()) << status();
  for (const char* op : {"create", "write", "rename", "delete"})
    EXPECT_EQ(relay_->count(op), 0) << op;
  EXPECT_EQ(namesIn(store()), (std::set<std::string>{"f", "w.txt", "r2.txt"}));
  EXPECT_EQ(namesIn(store() / "f"), (std::set<std::string>{"n.txt"}));
  EXPECT_EQ(namesIn(mountpoint()), (std::set<std::string>{"f", "w.txt", "r2.txt"}));
}

// A change on its way is answered before anything later for the same item goes out, so an
// older save can never land after a newer one.
TEST_F(OutboxMountTest, NothingOvertakesAChangeOnItsWay) {
  put(in("w.txt"), "v1");
  ASSERT_TRUE(landed());
  relay_->forget();
  relay_->setMode(CompanionRelay::Mode::holdReplies);
  put(in("w.txt"), "v2");
  ASSERT_TRUE(eventually([&] { return relay_->count("write") == 1; }));
  put(in("w.txt"), "v3");
  put(in("other.txt"), "independent");
  EXPECT_TRUE(eventually([&] { return relay_->count("create", "other.txt") == 1; }))
      << "an entry for another item waited";
  EXPECT_EQ(relay_->count("write"), 1) << "a later write went out before the first was answered";
  relay_->setMode(CompanionRelay::Mode::pass);
  ASSERT_TRUE(landed()) << status();
  EXPECT_EQ(relay_->count("write"), 2);
  EXPECT_EQ(readWholeFile(store() / "w.txt"), "v3");
}

// A mount killed at random moments while files are written: every file whose close returned
// is in the store byte for byte once a later mount has sent what was pending.
TEST_F(OutboxMountTest, AKilledMountLosesNothingWhoseCloseReturned) {
  std::vector<std::pair<std::string, std::string>> closed;
  std::mt19937 random(std::random_device{}());
  for (int round = 0; round < 3; ++round) {
    std::atomic<bool> stop{false};
    std::thread writer([&] {
      for (int i = 0; !stop; ++i) {
        auto name = "f" + std::to_string(round) + "-" + std::to_string(i);
        auto bytes = binaryBytes(static_cast<std::size_t>(i * 7919 % 90'000), i);
        int fd = ::open(in(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return;
        bool whole = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        if (::close(fd) != 0 || !whole) return;
        closed.emplace_back(name, bytes);
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 400));
    killMount();
    stop = true;
    writer.join();
    mount();
  }
  ASSERT_TRUE(landed()) << status();
  ASSERT_FALSE(closed.empty());
  for (const auto& [name, bytes] : closed)
    EXPECT_TRUE(readWholeFile(store() / name) == bytes) << name;
}

// `cp -r` and `git clone` killed with their mount at a random moment: once a later mount has
// sent what was pending, the store holds exactly what the mount shows.
TEST_F(OutboxMountTest, AKilledCopyOrCloneLandsAsTheMountShowsIt) {
  fs::path source = temp_.path() / "source";
  for (int i = 0; i < 200; ++i) {
    auto folder = source / ("d" + std::to_string(i % 8));
    fs::create_directories(folder);
    put(folder / ("f" + std::to_string(i)),
        binaryBytes(static_cast<std::size_t>(i * 1543 % 40'000), i));
  }
  std::vector<std::pair<std::string, std::string>> commands{
      {"copy", "cp -r " + source.string() + " " + in("copy").string()}};
  auto git = "git -C " + source.string() + " -c user.name=t -c user.email=t@t ";
  if (fs::exists("/usr/bin/git") && shell("git init -q " + source.string()).status == 0 &&
      shell(git + "add -A && " + git + "commit -qm files").status == 0)
    commands.emplace_back("clone", "git clone -q " + source.string() + " " + in("clone").string());
  std::mt19937 random(std::random_device{}());
  for (const auto& [target, command] : commands) {
    BackgroundProgram run("/bin/sh", {"-c", command}, env());
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 200));
    killMount();
    run.wait();
    mount();
    ASSERT_TRUE(landed()) << status();
    if (!fs::exists(in(target))) continue;  // killed before it began
    auto diff = runProgram("/usr/bin/diff",
                           {"-r", in(target).string(), (store() / target).string()}, env());
    EXPECT_EQ(diff.status, 0) << target << ": " << diff.out;
  }
}

// fsync makes the change durable in the outbox's database file itself, not only in its log.
TEST_F(OutboxMountTest, FsyncMakesTheChangeDurable) {
  ASSERT_TRUE(namesIn(mountpoint()).empty());
  companion_.reset();
  int fd = ::open(in("synced.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "kept", 4), 4);
  ASSERT_EQ(::fsync(fd), 0) << std::strerror(errno);
  fs::path copy = temp_.path() / "copy";
  fs::create_directories(copy);
  fs::copy_file(outboxFolder() / "outbox.db", copy / "outbox.db");
  auto snapshot = fuse::Outbox::read(copy);
  ::close(fd);
  ASSERT_EQ(snapshot.entries.size(), 1u);
  EXPECT_EQ(snapshot.entries[0].place.name, "synced.txt");
  EXPECT_EQ(readWholeFile(outboxFolder() / snapshot.entries[0].data), "kept");
  startCompanion();
  EXPECT_TRUE(storeEventuallyHolds("synced.txt", "kept"));
}

// A listing that arrives while changes wait neither hides what was made here nor undoes a
// rename or a removal.
TEST_F(OutboxMountTest, ListingsWhileChangesWaitHideAndResurrectNothing) {
  for (const char* name : {"stay.txt", "old-name.txt", "doomed.txt"}) put(in(name), name);
  ASSERT_TRUE(landed());
  relay_->setMode(CompanionRelay::Mode::refuseChanges);
  put(in("fresh.txt"), "fresh");
  ASSERT_EQ(::rename(in("old-name.txt").c_str(), in("new-name.txt").c_str()), 0);
  ASSERT_EQ(::unlink(in("doomed.txt").c_str()), 0);
  put(store() / "outside.txt", "outside");
  ASSERT_TRUE(eventually([&] { return fs::exists(in("outside.txt")); }));
  const std::set<std::string> expected{"stay.txt", "fresh.txt", "new-name.txt", "outside.txt"};
  EXPECT_EQ(namesIn(mountpoint()), expected);
  relay_->setMode(CompanionRelay::Mode::pass);
  ASSERT_TRUE(landed()) << status();
  EXPECT_EQ(namesIn(store()), expected);
  EXPECT_EQ(namesIn(mountpoint()), expected);
}

// Changes that waited while the store changed under them keep both sides: a rename onto a name
// given meanwhile to another item takes a conflict name, a removal of an item changed meanwhile
// is dropped (the item shows again), and a file whose folder went meanwhile lands in the
// nearest folder that is left.
TEST_F(OutboxMountTest, ChangesThatWaitedKeepWhatTheStoreGainedMeanwhile) {
  for (const char* name : {"a.txt", "x.txt"}) put(in(name), name);
  ASSERT_EQ(::mkdir(in("d").c_str(), 0755), 0);
  ASSERT_TRUE(landed());
  relay_->setMode(CompanionRelay::Mode::refuseChanges);
  ASSERT_EQ(::rename(in("a.txt").c_str(), in("b.txt").c_str()), 0);
  ASSERT_EQ(::unlink(in("x.txt").c_str()), 0);
  put(in("d/late.txt"), "late");
  put(store() / "b.txt", "theirs");
  put(store() / "x.txt", "changed there");
  fs::remove_all(store() / "d");
  ASSERT_TRUE(eventually([&] {
    auto listed = qdrive({"--json", "ls", "@root"});
    return listed.find("\"b.txt\"") != std::string::npos &&
           listed.find("\"d\"") == std::string::npos;
  }));
  std::this_thread::sleep_for(1500ms);  // the removal has waited: it looks before it goes
  relay_->setMode(CompanionRelay::Mode::pass);
  ASSERT_TRUE(landed()) << status();
  const std::pair<const char*, const char*> expected[] = {
      {"b.txt", "theirs"},
      {"b (conflict 1).txt", "a.txt"},
      {"x.txt", "changed there"},
      {"late.txt", "late"},
  };
  for (const auto& file : expected) {
    EXPECT_EQ(readWholeFile(store() / file.first), file.second) << file.first;
    EXPECT_TRUE(eventually([&] { return readWholeFile(in(file.first)) == file.second; }))
        << file.first;
  }
  EXPECT_EQ(namesIn(store()).size(), 4u) << ::testing::PrintToString(namesIn(store()));
}

}  // namespace
}  // namespace QuorvelleDrive::testing

#endif

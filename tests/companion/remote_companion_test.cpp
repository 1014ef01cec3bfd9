// The companion keeping the drive on each of five real WebDAV servers (see support/dav_server.h
// for what each lacks): every operation, changes made on the server, two machines at once, a
// deep tree, a folder moved onto a name taken meanwhile, and what the companion finds and says
// about the server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <thread>

#include "companion/remote_fixture.h"
#include "platform/error.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::UnorderedElementsAre;

std::span<const std::byte> bytesOf(const std::string& text) {
  return std::as_bytes(std::span(text));
}

TEST_P(RemoteCompanionTest, EveryOperationReachesTheServer) {
  std::uint64_t first = anchor();
  std::string docs = createDir("1", "docs");
  std::string file = createFile(docs, "a b%.txt", "alpha");
  EXPECT_TRUE(fs::is_directory(server_->files() / "docs"));
  EXPECT_EQ(onServer("docs/a b%.txt"), "alpha");
  EXPECT_EQ(contents(file), "alpha");
  EXPECT_EQ(item(file).at("size"), 5);
  EXPECT_THAT(names(docs), UnorderedElementsAre("a b%.txt"));
  EXPECT_GT(anchor(), first);

  std::string base = version(file);
  EXPECT_FALSE(call(writeRequest(file, "beta", base), "beta").json.contains("restore"));
  EXPECT_EQ(onServer("docs/a b%.txt"), "beta");
  EXPECT_NE(version(file), base);
  // A second rewrite at once: Apache's ETag is still weak then, and is fetched again.
  EXPECT_FALSE(call(writeRequest(file, "gamma", version(file)), "gamma").json.contains("restore"));
  EXPECT_EQ(onServer("docs/a b%.txt"), "gamma");
  // A stale base keeps the current bytes and files the new ones beside them.
  auto stale = call(writeRequest(file, "delta", base), "delta");
  EXPECT_EQ(stale.json.at("restore"), true);
  EXPECT_EQ(onServer("docs/a b%.txt"), "gamma");
  EXPECT_EQ(onServer("docs/a b% (conflict 1).txt"), "delta");

  std::string other = createFile("1", "other.txt", "o");
  EXPECT_EQ(word({{"op", "rename"}, {"id", other}, {"parent", docs}, {"name", "a b%.txt"}}),
            "exists");
  EXPECT_EQ(word(fileRequest("1", "other.txt", "x"), "x"), "exists");
  EXPECT_EQ(word({{"op", "create"}, {"parent", "1"}, {"name", "docs"}, {"dir", true}}), "exists");
  EXPECT_EQ(onServer("other.txt"), "o");
  auto moved = call({{"op", "rename"}, {"id", other}, {"parent", docs}, {"name", "moved.txt"}});
  EXPECT_EQ(moved.json.at("item").at("parent"), json::value(docs));
  EXPECT_EQ(onServer("docs/moved.txt"), "o");
  EXPECT_FALSE(fs::exists(server_->files() / "other.txt"));

  for (const char* name : {"..", ".", "a/b", "../escape", ""})
    EXPECT_EQ(word({{"op", "create"}, {"parent", docs}, {"name", name}, {"dir", true}}), "badName")
        << name;
  EXPECT_EQ(word({{"op", "rename"}, {"id", docs}, {"parent", "1"}, {"name", "../x"}}), "badName");
  EXPECT_EQ(word({{"op", "rename"}, {"id", "1"}, {"parent", "1"}, {"name", "x"}}), "access");
  EXPECT_EQ(word({{"op", "rename"}, {"id", docs}, {"parent", docs}, {"name", "x"}}), "badMove");
  EXPECT_FALSE(fs::exists(server_->files().parent_path() / "escape"));

  EXPECT_EQ(word({{"op", "delete"}, {"id", docs}}), "notEmpty");
  EXPECT_TRUE(fs::exists(server_->files() / "docs/moved.txt"));
  for (auto& name : names(docs)) call({{"op", "delete"}, {"id", idOf(docs, name)}});
  EXPECT_TRUE(call({{"op", "delete"}, {"id", docs}}).json.empty());
  EXPECT_FALSE(fs::exists(server_->files() / "docs"));
  EXPECT_EQ(word({{"op", "item"}, {"id", docs}}), "notFound");
  EXPECT_THAT(listed({{"op", "all"}}), ::testing::IsEmpty());
}

// Identifiers carry the index's random prefix: a restart keeps them and the anchor, and an index
// made afresh for the same server hands out none of them again and starts its anchor above.
TEST_P(RemoteCompanionTest, IdsAndAnchorsSurviveARestartAndAreNeverReused) {
  std::string dir = createDir("1", "d");
  std::string file = createFile(dir, "f.txt", "f");
  call({{"op", "rename"}, {"id", file}, {"parent", "1"}, {"name", "g.txt"}});
  std::uint64_t before = anchor();
  std::string fileVersion = version(file);
  stop();
  startRemote();
  EXPECT_EQ(anchor(), before);
  EXPECT_EQ(idOf("1", "g.txt"), file);
  EXPECT_EQ(idOf("1", "d"), dir);
  EXPECT_EQ(version(file), fileVersion);

  stop();
  fs::remove_all(temp_.path() / "state");
  startRemote();
  EXPECT_GT(anchor(), before);
  poll();
  std::string again = idOf("1", "g.txt");
  EXPECT_FALSE(again.empty());
  EXPECT_NE(again, file);
  EXPECT_NE(idOf("1", "d"), dir);
  EXPECT_EQ(word({{"op", "item"}, {"id", file}}), "notFound");
  EXPECT_NE(version(again), fileVersion);
}

// Changes made on the server by others reach the index at the next poll: new files, new
// contents (a new version; a weak ETag turning strong is none), a rename (same id), removal.
TEST_P(RemoteCompanionTest, ServerChangesReachTheIndexAtThePoll) {
  poll();
  std::uint64_t first = anchor();
  putOnServer("news.txt", "fresh");
  ASSERT_EQ(server_->curl({"-X", "MKCOL"}, "box/"), 201);
  putOnServer("box/inner.txt", "inside");
  poll();
  EXPECT_GT(anchor(), first);
  std::string news = idOf("1", "news.txt");
  std::string box = idOf("1", "box");
  std::string inner = idOf(box, "inner.txt");
  ASSERT_FALSE(news.empty());
  EXPECT_EQ(contents(news), "fresh");
  std::string newsVersion = version(news);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  std::uint64_t settled = anchor();
  poll();
  EXPECT_EQ(version(news), newsVersion);
  EXPECT_EQ(anchor(), settled);

  // Changed after the host's lookup: the read answers busy and the index has the new version.
  putOnServer("news.txt", "changed!");
  EXPECT_EQ(word({{"op", "read"}, {"id", news}}), "busy");
  EXPECT_NE(version(news), newsVersion);
  EXPECT_EQ(contents(news), "changed!");

  ASSERT_EQ(server_->curl({"-X", "MOVE", "-H", "Destination: " + server_->url() + "renamed.txt"},
                          "news.txt") /
                100,
            2);
  ASSERT_EQ(
      server_->curl({"-X", "MOVE", "-H", "Destination: " + server_->url() + "crate/"}, "box/") /
          100,
      2);
  ASSERT_EQ(server_->curl({"-X", "DELETE"}, "box-gone") / 100, 4);
  std::uint64_t beforeMoves = anchor();
  poll();
  EXPECT_GT(anchor(), beforeMoves);
  EXPECT_EQ(idOf("1", "renamed.txt"), news);
  EXPECT_EQ(idOf("1", "crate"), box);
  EXPECT_EQ(idOf(box, "inner.txt"), inner);
  EXPECT_THAT(listed({{"op", "all"}}), UnorderedElementsAre("renamed.txt", "crate", "inner.txt"));

  ASSERT_EQ(server_->curl({"-X", "DELETE"}, "renamed.txt") / 100, 2);
  poll();
  EXPECT_EQ(word({{"op", "item"}, {"id", news}}), "notFound");
}

// With the server down, lookups and listings answer from the index and every change answers
// "offline" (so the host keeps it and retries); nothing is lost once the server is back.
TEST_P(RemoteCompanionTest, ServerDownAnswersFromTheIndexAndRefusesChangesAsOffline) {
  std::string dir = createDir("1", "d");
  std::string file = createFile(dir, "f.txt", "kept");
  std::uint64_t before = anchor();
  server_->stop();
  EXPECT_EQ(item(file).at("name"), "f.txt");
  EXPECT_THAT(names(dir), UnorderedElementsAre("f.txt"));
  EXPECT_THAT(listed({{"op", "all"}}), UnorderedElementsAre("d", "f.txt"));
  EXPECT_EQ(anchor(), before);
  EXPECT_FALSE(drive().poll());
  for (auto& [request, body] : std::vector<std::pair<json::object, std::string>>{
           {{{"op", "read"}, {"id", file}}, ""},
           {fileRequest(dir, "new.txt", "n"), "n"},
           {{{"op", "create"}, {"parent", "1"}, {"name", "e"}, {"dir", true}}, ""},
           {writeRequest(file, "w", version(file)), "w"},
           {{{"op", "rename"}, {"id", file}, {"parent", "1"}, {"name", "g.txt"}}, ""},
           {{{"op", "delete"}, {"id", file}}, ""}})
    EXPECT_EQ(word(request, body), "offline") << request;
  EXPECT_EQ(anchor(), before);
  ASSERT_TRUE(server_->start()) << server_->failure();
  poll();
  EXPECT_EQ(contents(file), "kept");
  EXPECT_FALSE(call(writeRequest(file, "w", version(file)), "w").json.contains("restore"));
  EXPECT_EQ(onServer("d/f.txt"), "w");
}

// Two machines writing the same version of one file: one write lands, the other becomes a
// conflict copy, whatever the server does with conditional PUTs; and a second companion is kept
// off a state directory that a live one holds.
TEST_P(RemoteCompanionTest, WritersOnTwoMachinesNeverOverwriteEachOther) {
  std::string file = createFile("1", "shared.txt", "start");
  auto otherSocket = temp_.path() / "other.sock";
  qc::Options options;
  options.socket = otherSocket;
  options.remote = remote(temp_.path() / "state");
  options.remote->log = [](const std::string&) {};
  EXPECT_THROW(qc::Companion{options}, std::runtime_error);
  options.remote = remote(temp_.path() / "other-state");
  options.remote->log = [](const std::string&) {};
  qc::Companion other(options);
  ASSERT_TRUE(dynamic_cast<qc::remote::RemoteDrive&>(other.backend()).poll());
  AppClient otherClient(otherSocket.string());
  auto otherItems = otherClient.call({{"op", "all"}}, {}).json.at("items").as_array();
  ASSERT_EQ(otherItems.size(), 1u);
  std::string otherId(otherItems[0].at("id").as_string());
  std::string otherBase(otherItems[0].at("version").as_string());
  EXPECT_NE(otherId, file);

  // The other machine's write lands first; ours, resting on the same version and sent before
  // our index has seen theirs, must not overwrite it.
  std::string base = version(file);
  auto theirs = otherClient.call(writeRequest(otherId, "theirs", otherBase),
                                 std::as_bytes(std::span(std::string_view("theirs"))));
  EXPECT_FALSE(theirs.json.contains("restore"));
  auto mine = call(writeRequest(file, "mine", base), "mine");
  EXPECT_EQ(mine.json.at("restore"), true);
  EXPECT_EQ(onServer("shared.txt"), "theirs");
  EXPECT_EQ(onServer("shared (conflict 1).txt"), "mine");
  EXPECT_EQ(contents(file), "theirs");
}

// A file's bytes go to the client as the server sends them: a server that stops midway leaves
// the client short of the size announced, with the connection closed, never with a reply that
// looks whole. Once the server is back the file reads whole.
TEST_P(RemoteCompanionTest, AReadCutOffByTheServerEndsShortOfItsSize) {
  std::string bytes(64 << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 / 4096);
  putOnServer("big.bin", bytes);
  poll();
  std::string id = idOf("1", "big.bin");
  RawConnection reader(socket());
  ASSERT_TRUE(reader.send(requestFrame({{"op", "read"}, {"id", id}})));
  auto reply = reader.receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->at("size"), bytes.size());
  server_->stop();
  std::string got = reader.receiveRest();
  EXPECT_LT(got.size(), bytes.size());
  EXPECT_TRUE(bytes.compare(0, got.size(), got) == 0);
  ASSERT_TRUE(server_->start()) << server_->failure();
  EXPECT_TRUE(contents(id) == bytes);
}

// Credentials the server refuses are found at start by one PROPFIND and said once, naming the
// URL and the netrc file but never the password; every change then answers "access". A netrc
// file that others may read is warned about.
TEST_P(RemoteCompanionTest, RefusedCredentialsAreSaidOnceAtStartAndAnswerAccess) {
  fs::path wrong = temp_.path() / "wrong-netrc";
  std::ofstream(wrong) << "machine 127.0.0.1 login quorvelle password wrong-pass\n";
  ::chmod(wrong.c_str(), 0644);
  stop();
  qc::Options options;
  options.remote = remote(temp_.path() / "other-state");
  options.remote->netrc = wrong;
  start(options);
  EXPECT_EQ(word({{"op", "create"}, {"parent", "1"}, {"name", "d"}, {"dir", true}}), "access");
  EXPECT_EQ(word(fileRequest("1", "f.txt", "f"), "f"), "access");
  EXPECT_FALSE(drive().poll());
  std::string said = log();
  EXPECT_THAT(
      said, ::testing::HasSubstr("refused the credentials from the netrc file " + wrong.string()));
  EXPECT_THAT(said, ::testing::HasSubstr(server_->url()));
  EXPECT_THAT(said, ::testing::HasSubstr("may be read by others (mode 0644)"));
  EXPECT_THAT(said, ::testing::Not(::testing::HasSubstr("wrong-pass")));
  std::size_t refusals = 0;
  for (std::size_t at = 0; (at = said.find("refused the credentials", at)) != std::string::npos;
       ++at)
    ++refusals;
  EXPECT_EQ(refusals, 1u) << said;
}

// Two machines writing one file at the same moment, resting on the same version: every round
// ends with one edit under the name and the other as a conflict copy, on every server, whatever
// it does with ETags and conditions (nginx lists no ETag and ignores If-Match, sabre/dav gives
// none at all).
TEST_P(RemoteCompanionTest, TwoMachinesWritingAtOnceLoseNoEdit) {
  // The other machine's LOCK arrives late, so that it has looked at the file before ours is
  // written and takes its lock after ours is gone: its check must see our write.
  FaultProxy late(server_->port());
  late.add({Fault::delay, "LOCK", "", -1, 0, "", 0, std::chrono::milliseconds(300)});
  auto otherRemote = remote(temp_.path() / "other-state");
  otherRemote.url = late.through(server_->url());
  OtherMachine other(otherRemote, temp_.path() / "other.sock");
  int rounds = roundsOf(2, 12);
  for (int round = 0; round < rounds; ++round) {
    std::string name = "race" + std::to_string(round) + ".txt";
    std::string file = createFile("1", name, "start");
    ASSERT_TRUE(other.drive().poll());
    std::string otherId, otherBase;
    Reply everything = other.call({{"op", "all"}});
    for (auto& entry : everything.json.at("items").as_array())
      if (entry.at("name").as_string() == name) {
        otherId = entry.at("id").as_string();
        otherBase = entry.at("version").as_string();
      }
    ASSERT_FALSE(otherId.empty());
    std::string base = version(file);
    std::string mine = "mine " + std::to_string(round), theirs = "them " + std::to_string(round);
    // Another writer's lock answers busy, which a host retries.
    auto retried = [](const std::function<Reply()>& send) {
      for (int attempt = 0;; ++attempt) try {
          return send();
        } catch (const Error& error) {
          if (error.code() != -1004 || attempt == 100) throw;
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    };
    Reply ours, their;
    std::thread first([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // after the other's first look
      ours = retried([&] { return client_.call(writeRequest(file, mine, base), bytesOf(mine)); });
    });
    std::thread second([&] {
      their = retried([&] { return other.call(writeRequest(otherId, theirs, otherBase), theirs); });
    });
    first.join();
    second.join();
    std::string conflict = "race" + std::to_string(round) + " (conflict 1).txt";
    std::multiset<std::string> found{onServer(name), onServer(conflict)};
    EXPECT_EQ(found, (std::multiset<std::string>{mine, theirs})) << "round " << round;
    EXPECT_NE(ours.json.contains("restore"), their.json.contains("restore")) << "round " << round;
  }
}

// A tree three levels deep, read whole by the poll on every server (sabre/dav answers a
// Depth: infinity listing with 207 but only one level), renamed at its top and taken apart.
TEST_P(RemoteCompanionTest, ATreeThreeLevelsDeepIsListedRenamedAndDeleted) {
  std::string a = createDir("1", "a");
  std::string b = createDir(a, "b");
  std::string c = createDir(b, "c");
  std::string deep = createFile(c, "deep.txt", "three down");
  ASSERT_EQ(server_->curl({"-X", "MKCOL"}, "a/b/c/d/"), 201);
  putOnServer("a/b/c/d/deeper.txt", "four down");
  poll();
  poll();
  EXPECT_THAT(names(c), UnorderedElementsAre("deep.txt", "d"));
  EXPECT_EQ(contents(deep), "three down");
  std::string d = idOf(c, "d");
  ASSERT_FALSE(d.empty());
  EXPECT_THAT(names(d), UnorderedElementsAre("deeper.txt"));

  call({{"op", "rename"}, {"id", a}, {"parent", "1"}, {"name", "top"}});
  poll();
  EXPECT_EQ(onServer("top/b/c/deep.txt"), "three down");
  EXPECT_EQ(contents(deep), "three down");
  EXPECT_EQ(idOf(c, "deep.txt"), deep);
  call({{"op", "rename"}, {"id", deep}, {"parent", b}, {"name", "up.txt"}});
  EXPECT_EQ(onServer("top/b/up.txt"), "three down");
  EXPECT_EQ(word({{"op", "delete"}, {"id", c}}), "notEmpty");
  call({{"op", "delete"}, {"id", idOf(d, "deeper.txt")}});
  for (auto& id : {d, c, std::string(idOf(b, "up.txt")), b, a})
    EXPECT_TRUE(call({{"op", "delete"}, {"id", id}}).json.empty()) << id;
  poll();
  EXPECT_THAT(listed({{"op", "all"}}), ::testing::IsEmpty());
  EXPECT_THAT(serverNames(), ::testing::IsEmpty());
}

// A folder moved onto a name another client took since the last poll is refused with "exists"
// (lighttpd says so inside a 207), and both folders stay where they are.
TEST_P(RemoteCompanionTest, AFolderMovedOntoANameTakenMeanwhileIsRefused) {
  std::string mine = createDir("1", "mine");
  createFile(mine, "inside.txt", "kept");
  ASSERT_EQ(server_->curl({"-X", "MKCOL"}, "taken/"), 201);
  putOnServer("taken/theirs.txt", "theirs");
  EXPECT_EQ(word({{"op", "rename"}, {"id", mine}, {"parent", "1"}, {"name", "taken"}}), "exists");
  EXPECT_EQ(onServer("mine/inside.txt"), "kept");
  EXPECT_EQ(onServer("taken/theirs.txt"), "theirs");
  poll();
  EXPECT_EQ(idOf("1", "mine"), mine);
  EXPECT_THAT(names(mine), UnorderedElementsAre("inside.txt"));
}

// A name taken on the server since the last poll, by a folder for a new or renamed file or by a
// file for a new folder, answers "exists" (so the host keeps both) and leaves what is there
// alone.
TEST_P(RemoteCompanionTest, ANameTakenByTheOtherKindSinceThePollIsExists) {
  std::string seed = createFile("1", "seed.txt", "s");
  ASSERT_EQ(server_->curl({"-X", "MKCOL"}, "x/") / 100, 2);
  putOnServer("x/inside.txt", "keep me");
  putOnServer("f", "a file");
  EXPECT_EQ(word(fileRequest("1", "x", "bytes"), "bytes"), "exists");
  EXPECT_EQ(word({{"op", "create"}, {"parent", "1"}, {"name", "f"}, {"dir", true}}), "exists");
  // A rename onto it likewise, except on lighttpd, which moves the file into the folder.
  if (GetParam() != DavKind::lighttpd) {
    EXPECT_EQ(word({{"op", "rename"}, {"id", seed}, {"parent", "1"}, {"name", "x"}}), "exists");
    EXPECT_EQ(onServer("seed.txt"), "s");
  }
  EXPECT_EQ(onServer("x/inside.txt"), "keep me");
  EXPECT_EQ(onServer("f"), "a file");
}

// Only the drive's own scratch names are hidden and swept: a user's file that merely begins
// like them is made, listed and kept, even when older than the hour after which leftovers go;
// the one name of the scratch kind that is taken for real is refused rather than made and
// dropped.
TEST_P(RemoteCompanionTest, OnlyTheDrivesOwnScratchNamesAreHiddenAndSwept) {
  createFile("1", ".quorvelle-notes.txt", "mine");
  putOnServer(".quorvelle-theirs.txt", "theirs");
  auto old = fs::file_time_type::clock::now() - std::chrono::hours(2);
  fs::last_write_time(server_->files() / ".quorvelle-notes.txt", old);
  fs::last_write_time(server_->files() / ".quorvelle-theirs.txt", old);
  poll();
  poll();
  // nginx's PROPFIND lists no names that begin with a dot: only the one made here is known.
  if (GetParam() != DavKind::nginx) {
    EXPECT_THAT(listed({{"op", "all"}}),
                UnorderedElementsAre(".quorvelle-notes.txt", ".quorvelle-theirs.txt"));
  } else {
    EXPECT_THAT(listed({{"op", "all"}}), UnorderedElementsAre(".quorvelle-notes.txt"));
  }
  EXPECT_EQ(onServer(".quorvelle-notes.txt"), "mine");
  EXPECT_EQ(onServer(".quorvelle-theirs.txt"), "theirs");
  EXPECT_EQ(word(fileRequest("1", ".quorvelle-upload-12345", "x"), "x"), "badName");
  std::string other = createFile("1", "other.txt", "o");
  EXPECT_EQ(
      word({{"op", "rename"}, {"id", other}, {"parent", "1"}, {"name", ".quorvelle-probe-7"}}),
      "badName");
}

// Names beginning with a dot made through the drive stay in it poll after poll on every server,
// though nginx lists none of them; a dot-folder's contents follow the server; a folder holding
// only a dot-name is not empty (DELETE would take it); a dot-name removed elsewhere goes.
TEST_P(RemoteCompanionTest, NamesBeginningWithADotStayAndKeepTheirFolderFromRemoval) {
  std::string ignore = createFile("1", ".gitignore", "build/\n");
  std::string git = createDir("1", ".git");
  std::string head = createFile(git, "HEAD", "ref: refs/heads/main\n");
  std::string hooks = createDir(git, ".hooks");
  createFile(hooks, "pre-commit", "exit 0\n");
  std::string box = createDir("1", "box");
  std::string keep = createFile(box, ".keep", "");
  for (int round = 0; round < 3; ++round) poll();
  EXPECT_THAT(listed({{"op", "all"}}), UnorderedElementsAre(".gitignore", ".git", "HEAD", ".hooks",
                                                            "pre-commit", "box", ".keep"));
  EXPECT_EQ(idOf("1", ".gitignore"), ignore);
  EXPECT_EQ(idOf(git, "HEAD"), head);
  EXPECT_EQ(contents(ignore), "build/\n");

  EXPECT_EQ(word({{"op", "delete"}, {"id", box}}), "notEmpty");
  EXPECT_TRUE(existsOnServer("box/.keep"));
  EXPECT_EQ(idOf(box, ".keep"), keep);

  // Changes made elsewhere inside a dot-folder, and to and of dot-names the drive knows.
  putOnServer(".git/HEAD", "ref: refs/heads/next\n");
  putOnServer(".git/config", "[core]\n\tbare = false\n");
  ASSERT_EQ(server_->curl({"-X", "DELETE"}, ".gitignore") / 100, 2);
  poll();
  EXPECT_EQ(contents(head), "ref: refs/heads/next\n");
  EXPECT_THAT(names(git), UnorderedElementsAre("HEAD", ".hooks", "config"));
  EXPECT_EQ(word({{"op", "item"}, {"id", ignore}}), "notFound");
  EXPECT_TRUE(call({{"op", "delete"}, {"id", keep}}).json.empty());
  EXPECT_TRUE(call({{"op", "delete"}, {"id", box}}).json.empty());
  EXPECT_FALSE(existsOnServer("box"));
}

// What the probe finds is logged one line per ability, published beside the socket for
// `qdrive status`, and decides the write-safety rung; the scratch folder is gone afterwards.
// The server's quota is kept where it gives one.
TEST_P(RemoteCompanionTest, WhatTheServerDoesIsFoundSaidAndPublished) {
  struct Expected {
    const char* infinity;
    const char* etags;
    const char* rung;
    bool inPlace;
    bool dotNames;  // listed
  };
  static const std::map<DavKind, Expected> expected{
      {DavKind::apache, {"refused", "; HEAD gives an ETag", "the ETag from PROPFIND", false, true}},
      {DavKind::rclone,
       {"allowed", "ETags in PROPFIND: strong", "the ETag from PROPFIND", true, true}},
      {DavKind::nginx,
       {"refused", "ETags in PROPFIND: none; HEAD gives an ETag", "the ETag from HEAD", false,
        false}},
      {DavKind::lighttpd,
       {"refused", "ETags in PROPFIND: strong; HEAD gives none", "the ETag from PROPFIND", false,
        true}},
      {DavKind::sabre,
       {"capped at one level", "ETags in PROPFIND: none; HEAD gives none",
        "size and modification time", false, true}},
  };
  const Expected& want = expected.at(GetParam());
  auto found = drive().abilities();
  EXPECT_EQ(found.writesInPlace, want.inPlace);
  std::string said = log();
  EXPECT_THAT(said, ::testing::HasSubstr(std::string("Depth: infinity: ") + want.infinity));
  EXPECT_THAT(said, ::testing::HasSubstr(want.etags));
  EXPECT_THAT(said, ::testing::HasSubstr(std::string("write safety: ") + want.rung));
  EXPECT_THAT(said, ::testing::HasSubstr("locks: yes"));
  std::string dots = std::string("names beginning with a dot: ") +
                     (want.dotNames ? "listed" : "left out of listings");
  EXPECT_THAT(said, ::testing::HasSubstr(dots));
  fs::path report = socket().parent_path() / "server.json";
  ASSERT_TRUE(eventually([&] {
    return readWholeFile(report).find("\"credentials\":\"accepted\"") != std::string::npos;
  })) << readWholeFile(report);
  auto published = readJSON(readWholeFile(report)).as_object();
  EXPECT_THAT(writeJSON(published.at("abilities")), ::testing::HasSubstr(want.rung));
  EXPECT_THAT(writeJSON(published.at("abilities")), ::testing::HasSubstr(dots));
  EXPECT_THAT(serverNames(), ::testing::IsEmpty());
  // RFC 4331 quota of the drive's root, from the poll, where the server gives it.
  poll();
  if (GetParam() == DavKind::sabre) {
    auto quota = drive().quota();
    ASSERT_TRUE(quota.has_value());
    EXPECT_GT(quota->available, 0u);
    EXPECT_THAT(log(), ::testing::HasSubstr("bytes available"));
    // Published for the mount's df.
    auto space = readJSON(readWholeFile(report)).as_object().at("quota").as_object();
    EXPECT_EQ(space.at("available").to_number<std::uint64_t>(), quota->available);
  }
  stop();
  EXPECT_FALSE(fs::exists(socket().parent_path() / "server.json"));
}

// The drive's root has a date, as any folder, from the first answer on (a mount takes it from
// there, and would show none as 1 January 1970): before the first look at the server the newest
// entry's or the companion's start, then the server's where it gives one.
TEST_P(RemoteCompanionTest, TheRootHasADate) {
  auto dated = [&] {
    auto mtime = item("1").at("mtime").to_number<double>();
    return mtime > 1.7e9 && mtime < static_cast<double>(std::time(nullptr)) + 3600;
  };
  EXPECT_TRUE(dated()) << "before any poll";
  createFile("1", "a.txt", "a");
  poll();
  EXPECT_TRUE(dated()) << "after a poll";
}

// An https server with a certificate of its own (nginx here) is refused until its CA is given
// with --cacert; the system's CA store stays in force otherwise.
TEST_F(CompanionTest, AnHttpsServerWithItsOwnCertificateNeedsItsCa) {
  stop();
  DavServer server(DavKind::nginx, temp_.path() / "server", true);
  if (!server.failure().empty()) GTEST_SKIP() << server.failure();
  qc::Options options;
  options.remote.emplace();
  options.remote->url = server.url();
  options.remote->netrc = server.netrc();
  options.remote->poll = std::chrono::milliseconds(0);
  options.remote->state = temp_.path() / "state";
  start(options);
  EXPECT_EQ(word({{"op", "create"}, {"parent", "1"}, {"name", "d"}, {"dir", true}}), "offline");
  EXPECT_THAT(log(), ::testing::HasSubstr("certificate"));
  stop();
  options.remote->caFile = server.certificate();
  start(options);
  createDir("1", "d");
  EXPECT_TRUE(fs::is_directory(server.files() / "d"));
}

INSTANTIATE_TEST_SUITE_P(Servers, RemoteCompanionTest, ::testing::ValuesIn(allDavKinds()),
                         [](const auto& info) { return nameOf(info.param); });

}  // namespace
}  // namespace QuorvelleDrive::testing

// The companion keeping the drive on a real WebDAV server: Apache httpd's mod_dav, which honours
// conditional PUTs, gives weak ETags for a second after a change and refuses Depth: infinity,
// and rclone's serve webdav, which ignores conditions on PUT and gives folders no ETag.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "companion/companion_fixture.h"
#include "companion/remote/remote_drive.h"
#include "support/dav_server.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::UnorderedElementsAre;

class RemoteCompanionTest : public CompanionTest, public ::testing::WithParamInterface<DavKind> {
 protected:
  void SetUp() override {
    stop();
    server_ = std::make_unique<DavServer>(GetParam(), temp_.path() / "server");
    if (!server_->failure().empty()) GTEST_SKIP() << server_->failure();
    startRemote();
  }

  qc::remote::RemoteOptions remote(const fs::path& state) const {
    // Polls come from the tests, so that each one knows what the index has seen.
    return {server_->url(), server_->netrc(), std::chrono::milliseconds(0), state};
  }
  void startRemote() {
    qc::Options options;
    options.remote = remote(temp_.path() / "state");
    start(options);
  }
  qc::remote::RemoteDrive& drive() {
    return dynamic_cast<qc::remote::RemoteDrive&>(companion().backend());
  }
  void poll() { ASSERT_TRUE(drive().poll()); }
  std::string onServer(const std::string& path) { return readWholeFile(server_->files() / path); }
  // A file put on the server by someone else, with curl.
  void putOnServer(const std::string& path, const std::string& bytes) {
    fs::path local = temp_.path() / "upload";
    std::ofstream(local, std::ios::binary) << bytes;
    ASSERT_EQ(server_->curl({"-T", local.string()}, path) / 100, 2) << path;
  }
  std::string idOf(const std::string& folder, const std::string& name) {
    Reply reply = call({{"op", "list"}, {"id", folder}});
    for (auto& entry : reply.json.at("items").as_array())
      if (entry.at("name").as_string() == name) return std::string(entry.at("id").as_string());
    return "";
  }

  std::unique_ptr<DavServer> server_;
};

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
// "offline" (so the host keeps it and retries); nothing is lost once the server is back. Refused
// credentials answer "access".
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

  // A server that refuses the credentials answers "access".
  fs::path wrong = temp_.path() / "wrong-netrc";
  std::ofstream(wrong) << "machine 127.0.0.1 login quorvelle password wrong\n";
  qc::Options options;
  options.socket = temp_.path() / "other.sock";
  options.remote = remote(temp_.path() / "other-state");
  options.remote->netrc = wrong;
  qc::Companion refused(options);
  EXPECT_EQ(exchangeWord(options.socket, requestFrame({{"op", "list"}, {"id", "1"}})), "access");
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
  EXPECT_THROW(qc::Companion{options}, std::runtime_error);
  options.remote = remote(temp_.path() / "other-state");
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

INSTANTIATE_TEST_SUITE_P(Servers, RemoteCompanionTest,
                         ::testing::Values(DavKind::apache, DavKind::rclone),
                         [](const auto& info) { return nameOf(info.param); });

}  // namespace
}  // namespace QuorvelleDrive::testing

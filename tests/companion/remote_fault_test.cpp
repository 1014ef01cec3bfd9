// The companion and each of five WebDAV servers with a fault-injecting proxy between them:
// answers lost after the server acted, uploads cut short (the companion killed, the server
// stopped), a probe whose answers cannot be read, and the server's refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "companion/remote_fixture.h"
#include "hosts/child_process.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;

class RemoteFaultTest : public RemoteCompanionTest {
 protected:
  bool withProxy() const override { return true; }

  // What the server holds under the drive, without the companion's own scratch names.
  std::vector<std::string> visibleNames(const std::string& folder = "") {
    std::vector<std::string> names;
    for (auto& name : serverNames(folder))
      if (name.rfind(".quorvelle-", 0) != 0) names.push_back(name);
    return names;
  }
  // The same once the server has cleaned up after a connection it lost (Apache removes the
  // ".davfs.tmp…" file it was receiving into when it notices).
  bool settlesTo(const std::vector<std::string>& names) {
    return eventually([&] { return visibleNames() == names; }, 10s);
  }
  // The request that puts a file's bytes under its name: the PUT itself where the server writes
  // whole files, the MOVE of the scratch upload where it writes in place. Both are aimed at.
  void faultOnPlacing(Fault::Kind kind, const std::string& name, std::size_t bytes = 0) {
    proxy_->add({kind, "PUT", name, 1, 0, "", bytes, {}});
    proxy_->add({kind, "MOVE", "", 1, 0, "", bytes, {}});
  }
};

std::string pattern(std::size_t size, char seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7 % 61);
  return bytes;
}

// A PHP warning printed into the probe's PROPFIND answers (as a misconfigured PHP server does):
// the probe gives up, removes its scratch folder, says so and waits before trying again, while
// every change still works on the least the companion assumes.
TEST_P(RemoteFaultTest, AProbeThatCannotReadTheServerCleansUpAndWaits) {
  proxy_->add({Fault::answer,
               "PROPFIND",
               ".quorvelle-probe",
               -1,
               207,
               "<br />\n<b>Warning</b>: Undefined variable $depth in <b>/srv/dav/index.php</b> on "
               "line <b>12</b><br />\n<?xml version=\"1.0\"?><d:multistatus xmlns:d=\"DAV:\">",
               0,
               {}});
  for (int i = 0; i < 8; ++i) createDir("1", "dir" + std::to_string(i));
  std::string file = createFile("1", "file.txt", "one");
  EXPECT_FALSE(call(writeRequest(file, "two", version(file)), "two").json.contains("restore"));
  poll();
  poll();
  EXPECT_EQ(visibleNames().size(), 9u);
  EXPECT_EQ(onServer("file.txt"), "two");
  std::set<std::string> probes;
  for (auto& request : proxy_->requests())
    if (auto at = request.find(".quorvelle-probe-");
        request.rfind("MKCOL ", 0) == 0 && at != std::string::npos)
      probes.insert(request.substr(at, request.find('/', at) - at));
  // One probe, then one 5 s later and another 10 s after that at the most while the test runs
  // (a loaded machine may take that long); without the wait every request would probe again.
  EXPECT_LE(probes.size(), 3u) << ::testing::PrintToString(probes);
  EXPECT_THAT(serverNames(), ::testing::Each(::testing::Not(HasSubstr(".quorvelle-probe"))));
  EXPECT_THAT(log(), HasSubstr("could not learn what the server at"));
}

// An upload broken off midway (the companion killed, the connection lost) never leaves a partial
// file under the user's name, not even on a server that writes a PUT in place as it arrives:
// the old bytes stay, a creation leaves nothing, and sending again lands the whole file.
TEST_P(RemoteFaultTest, AnUploadCutShortNeverTakesTheName) {
  std::string old = pattern(200'000, 'a'), fresh = pattern(300'000, 'k');
  std::string file = createFile("1", "doc.bin", old);
  std::string base = version(file);
  faultOnPlacing(Fault::cutRequest, "doc.bin", 64 << 10);
  proxy_->add({Fault::cutRequest, "PUT", ".quorvelle-upload", 1, 0, "", 64 << 10, {}});
  EXPECT_EQ(word(writeRequest(file, fresh, base), fresh), "offline");
  proxy_->clear();
  EXPECT_TRUE(onServer("doc.bin") == old);
  EXPECT_TRUE(settlesTo({"doc.bin"})) << ::testing::PrintToString(visibleNames());
  EXPECT_FALSE(call(writeRequest(file, fresh, base), fresh).json.contains("restore"));
  EXPECT_TRUE(onServer("doc.bin") == fresh);

  faultOnPlacing(Fault::cutRequest, "new.bin", 64 << 10);
  proxy_->add({Fault::cutRequest, "PUT", ".quorvelle-upload", 1, 0, "", 64 << 10, {}});
  EXPECT_EQ(word(fileRequest("1", "new.bin", fresh), fresh), "offline");
  proxy_->clear();
  EXPECT_TRUE(settlesTo({"doc.bin"})) << ::testing::PrintToString(visibleNames());
  poll();
  EXPECT_THAT(listed({{"op", "all"}}), UnorderedElementsAre("doc.bin"));
  std::string made = createFile("1", "new.bin", fresh);
  EXPECT_TRUE(onServer("new.bin") == fresh);
}

// The drive's own scratch names go again when the request that made them got no answer after
// the server acted, with the companion still running: a probe folder, and a creation's and a
// rewrite's hidden uploads. (A body cut short is removed the same way, but a server may still
// be writing it then: what it leaves is swept later.)
TEST_P(RemoteFaultTest, ScratchNamesGoWhenTheirRequestGotNoAnswer) {
  auto scratchLeft = [&] {
    std::vector<std::string> left;
    for (auto& entry : fs::recursive_directory_iterator(server_->files()))
      if (entry.path().filename().string().rfind(".quorvelle-", 0) == 0)
        left.push_back(entry.path().filename().string());
    return left;
  };
  proxy_->add({Fault::dropAnswer, "MKCOL", ".quorvelle-probe", 1, 0, "", 0, {}});
  std::string old = pattern(200'000, 'a'), fresh = pattern(300'000, 'k');
  std::string file = createFile("1", "doc.bin", old);
  EXPECT_EQ(proxy_->applied(), 1);
  EXPECT_TRUE(eventually([&] { return scratchLeft().empty(); }, 10s))
      << ::testing::PrintToString(scratchLeft());

  proxy_->clear();
  faultOnPlacing(Fault::dropAnswer, "doc.bin");
  proxy_->add({Fault::dropAnswer, "PUT", ".quorvelle-upload", 1, 0, "", 0, {}});
  EXPECT_EQ(word(writeRequest(file, fresh, version(file)), fresh), "offline");
  faultOnPlacing(Fault::dropAnswer, "new.bin");
  proxy_->add({Fault::dropAnswer, "PUT", ".quorvelle-upload", 1, 0, "", 0, {}});
  EXPECT_EQ(word(fileRequest("1", "new.bin", fresh), fresh), "offline");
  EXPECT_TRUE(eventually([&] { return scratchLeft().empty(); }, 10s))
      << ::testing::PrintToString(scratchLeft());
}

// The server stopped while a large rewrite is on its way: the file keeps its old bytes.
TEST_P(RemoteFaultTest, AServerStoppedMidUploadLeavesTheOldFile) {
  std::string old = pattern(1 << 20, 'a'), fresh = pattern(24 << 20, 'z');
  std::string file = createFile("1", "big.bin", old);
  std::string base = version(file);
  proxy_->add({Fault::slowUpload, "PUT", "", -1, 0, "", 256 << 10, {}});
  std::string answer;
  std::thread writer([&] { answer = word(writeRequest(file, fresh, base), fresh); });
  ASSERT_TRUE(eventually([&] { return proxy_->count("PUT") > 0; }, 20s));
  std::this_thread::sleep_for(300ms);
  server_->stop();
  writer.join();
  EXPECT_EQ(answer, "offline");
  ASSERT_TRUE(server_->start()) << server_->failure();
  EXPECT_TRUE(onServer("big.bin") == old);
  EXPECT_TRUE(settlesTo({"big.bin"})) << ::testing::PrintToString(visibleNames());
}

// The companion process killed with SIGKILL while it uploads a rewrite: the server's file keeps
// its old bytes.
TEST_P(RemoteFaultTest, ACompanionKilledMidUploadLeavesTheOldFile) {
#ifndef QD_COMPANION_BINARY
  GTEST_SKIP() << "the companion program is not built";
#else
  stop();
  std::string old = pattern(1 << 20, 'a'), fresh = pattern(24 << 20, 'z');
  putOnServer("big.bin", old);
  fs::path home = temp_.path() / "killed";
  fs::create_directories(home / "containers");
  BackgroundProgram companion(
      QD_COMPANION_BINARY,
      {"--remote", driveUrl(), "--netrc", server_->netrc().string(), "--remote-poll", "600",
       "--group", "g", "--containers", (home / "containers").string()},
      cleanEnvironment(home), home / "companion.log");
  fs::path socket = home / "containers" / "g" / "drive.sock";
  ASSERT_TRUE(eventually([&] { return fs::exists(socket); }, 20s))
      << readWholeFile(home / "companion.log");
  AppClient client(socket.string());
  std::string id, base;
  ASSERT_TRUE(eventually(
      [&] {
        auto items = client.call({{"op", "all"}}, {}).json.at("items").as_array();
        if (items.empty()) return false;
        id = items[0].at("id").as_string();
        base = items[0].at("version").as_string();
        return true;
      },
      20s));
  proxy_->add({Fault::slowUpload, "PUT", "", -1, 0, "", 256 << 10, {}});
  RawConnection writer(socket);
  ASSERT_TRUE(writer.send(requestFrame(writeRequest(id, fresh, base), fresh)));
  ASSERT_TRUE(eventually([&] { return proxy_->count("PUT") > 0; }, 20s));
  std::this_thread::sleep_for(300ms);
  companion.signal(SIGKILL);
  companion.wait();
  EXPECT_TRUE(settlesTo({"big.bin"})) << ::testing::PrintToString(visibleNames());
  EXPECT_TRUE(onServer("big.bin") == old);
#endif
}

// Changes whose answers were lost after the server acted are recognised when sent again: a
// rewrite (before and after a poll has seen it), a new folder and a new file make no copies.
TEST_P(RemoteFaultTest, ChangesSentAgainAfterTheirAnswerWasLostMakeNoCopies) {
  std::string file = createFile("1", "once.txt", "first");
  std::string base = version(file);
  faultOnPlacing(Fault::dropAnswer, "once.txt");
  EXPECT_EQ(word(writeRequest(file, "second", base), "second"), "offline");
  proxy_->clear();
  EXPECT_EQ(onServer("once.txt"), "second");
  EXPECT_FALSE(call(writeRequest(file, "second", base), "second").json.contains("restore"));

  base = version(file);
  faultOnPlacing(Fault::dropAnswer, "once.txt");
  EXPECT_EQ(word(writeRequest(file, "third!", base), "third!"), "offline");
  proxy_->clear();
  poll();
  EXPECT_FALSE(call(writeRequest(file, "third!", base), "third!").json.contains("restore"));

  proxy_->add({Fault::dropAnswer, "MKCOL", "mk2", 1, 0, "", 0, {}});
  EXPECT_EQ(word({{"op", "create"}, {"parent", "1"}, {"name", "mk2"}, {"dir", true}}), "offline");
  proxy_->clear();
  std::string folder = createDir("1", "mk2");
  createFile(folder, "inside.txt", "in");

  faultOnPlacing(Fault::dropAnswer, "new.txt");
  EXPECT_EQ(word(fileRequest("1", "new.txt", "fresh"), "fresh"), "offline");
  proxy_->clear();
  createFile("1", "new.txt", "fresh");
  poll();
  EXPECT_THAT(visibleNames(), UnorderedElementsAre("once.txt", "mk2", "new.txt"));
  EXPECT_THAT(listed({{"op", "all"}}),
              UnorderedElementsAre("once.txt", "mk2", "inside.txt", "new.txt"));
  EXPECT_EQ(onServer("once.txt"), "third!");
}

// Renames and removals whose answers were lost after the server acted are done when sent again,
// and a conflict copy whose answer was lost is not made twice.
TEST_P(RemoteFaultTest, RenamesRemovalsAndCopiesSentAgainAfterTheirAnswerWasLostAreDone) {
  std::string folder = createDir("1", "a");
  std::string file = createFile(folder, "f.txt", "f");
  std::string gone = createFile("1", "gone.txt", "g");
  std::string empty = createDir("1", "empty");
  proxy_->add({Fault::dropAnswer, "MOVE", "/a", 1, 0, "", 0, {}});
  EXPECT_EQ(word({{"op", "rename"}, {"id", folder}, {"parent", "1"}, {"name", "b"}}), "offline");
  proxy_->add({Fault::dropAnswer, "DELETE", "gone.txt", 1, 0, "", 0, {}});
  EXPECT_EQ(word({{"op", "delete"}, {"id", gone}}), "offline");
  proxy_->add({Fault::dropAnswer, "DELETE", "empty", 1, 0, "", 0, {}});
  EXPECT_EQ(word({{"op", "delete"}, {"id", empty}}), "offline");
  proxy_->clear();
  EXPECT_EQ(word({{"op", "rename"}, {"id", folder}, {"parent", "1"}, {"name", "b"}}), "");
  EXPECT_EQ(word({{"op", "delete"}, {"id", gone}}), "");
  EXPECT_EQ(word({{"op", "delete"}, {"id", empty}}), "");

  std::string base = version(file);
  putOnServer("b/f.txt", "theirs");
  poll();
  faultOnPlacing(Fault::dropAnswer, "conflict");
  EXPECT_EQ(word(writeRequest(file, "mine", base), "mine"), "offline");
  proxy_->clear();
  EXPECT_TRUE(call(writeRequest(file, "mine", base), "mine").json.contains("restore"));
  poll();
  EXPECT_THAT(visibleNames("b"), UnorderedElementsAre("f.txt", "f (conflict 1).txt"));
  EXPECT_THAT(visibleNames(), UnorderedElementsAre("b"));
  EXPECT_EQ(onServer("b/f.txt"), "theirs");
  EXPECT_EQ(onServer("b/f (conflict 1).txt"), "mine");
}

// A 207 whose inner status is a failure is that failure; one that cannot be read is never a
// success, and a listing that cannot be read leaves the index as it was.
TEST_P(RemoteFaultTest, MultiStatusAnswersAreReadForTheirFailures) {
  std::string file = createFile("1", "f.txt", "f");
  std::string folder = createDir("1", "d");
  auto inner = [](const char* status) {
    return std::string(R"(<?xml version="1.0"?><multistatus xmlns="DAV:"><response>)") +
           "<href>/x</href><status>HTTP/1.1 " + status + "</status></response></multistatus>";
  };
  struct Case {
    const char* method;
    std::string body;
    const char* word;
  };
  for (const Case& c :
       {Case{"DELETE", inner("423 Locked"), "busy"},
        Case{"DELETE", inner("403 Forbidden"), "access"}, Case{"DELETE", "<html>oops", "busy"},
        Case{"DELETE", "", "busy"}, Case{"MOVE", inner("507 Insufficient Storage"), "noSpace"},
        Case{"MOVE", "<multistatus xmlns=\"DAV:\"><response>", "busy"}}) {
    proxy_->add({Fault::answer, c.method, "", -1, 207, c.body, 0, {}});
    std::string got =
        c.method == std::string("DELETE")
            ? word({{"op", "delete"}, {"id", file}})
            : word({{"op", "rename"}, {"id", folder}, {"parent", "1"}, {"name", "e"}});
    EXPECT_EQ(got, c.word) << c.method << " " << c.body;
    proxy_->clear();
  }
  proxy_->add(
      {Fault::answer, "PROPFIND", "", -1, 207, "<d:multistatus xmlns:d=\"DAV:\"><d:resp", 0, {}});
  EXPECT_FALSE(drive().poll());
  proxy_->clear();
  EXPECT_THAT(listed({{"op", "all"}}), UnorderedElementsAre("f.txt", "d"));
  poll();
  EXPECT_THAT(listed({{"op", "all"}}), UnorderedElementsAre("f.txt", "d"));
}

// A folder the server refuses to list keeps what the index holds below it, and the rest of the
// tree is still read: one such folder does not stop every poll.
TEST_P(RemoteFaultTest, AFolderTheServerWillNotListDoesNotStopThePolls) {
  std::string locked = createDir("1", "locked");
  createFile(locked, "kept.txt", "k");
  poll();
  proxy_->add({Fault::answer, "PROPFIND", "/locked/", -1, 403, "", 0, {}});
  putOnServer("new.txt", "from another machine");
  EXPECT_TRUE(drive().poll());
  proxy_->clear();
  EXPECT_THAT(listed({{"op", "all"}}), UnorderedElementsAre("locked", "kept.txt", "new.txt"));
}

// A dot-name looked up on its own (nginx lists none) whose answer fails or is lost is not taken
// as gone: that poll fails and the item stays.
TEST_P(RemoteFaultTest, ADotNameWhoseLookupFailsStays) {
  std::string ignore = createFile("1", ".gitignore", "build/\n");
  poll();
  for (Fault::Kind kind : {Fault::answer, Fault::dropAnswer}) {
    proxy_->add({kind, "PROPFIND", "/.gitignore", -1, 500, "", 0, {}});
    drive().poll();
    proxy_->clear();
    EXPECT_EQ(idOf("1", ".gitignore"), ignore) << kind;
  }
  if (GetParam() == DavKind::nginx) {
    EXPECT_GE(proxy_->applied(), 2);
  }
  poll();
  EXPECT_EQ(idOf("1", ".gitignore"), ignore);
  EXPECT_EQ(contents(ignore), "build/\n");
}

// The server's refusals become the words a host maps: no space, too large (said with what the
// server took before), credentials refused, busy.
TEST_P(RemoteFaultTest, RefusalsOfTheServerBecomeTheirWords) {
  createFile("1", "small.txt", "fits");
  struct Case {
    int status;
    const char* word;
  };
  for (const Case& c : {Case{507, "noSpace"}, Case{413, "tooBig"}, Case{401, "access"},
                        Case{500, "busy"}, Case{423, "busy"}}) {
    for (const char* method : {"PUT", "MOVE"})
      proxy_->add({Fault::answer, method, "", -1, c.status, "", 0, {}});
    EXPECT_EQ(word(fileRequest("1", "f.txt", "bytes"), "bytes"), c.word) << c.status;
    proxy_->clear();
  }
  EXPECT_THAT(log(), HasSubstr("refused a body of 5 bytes as too large (413)"));
  EXPECT_THAT(visibleNames(), UnorderedElementsAre("small.txt"));
  createFile("1", "f.txt", "bytes");
}

INSTANTIATE_TEST_SUITE_P(Servers, RemoteFaultTest, ::testing::ValuesIn(allDavKinds()),
                         [](const auto& info) { return nameOf(info.param); });

}  // namespace
}  // namespace QuorvelleDrive::testing

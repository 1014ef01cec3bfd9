// End to end through the built qdrive program against the scripted fake companion.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <fstream>

#include "hosts/child_process.h"
#include "support/drive_fixture.h"

#ifdef QD_QDRIVE_BINARY

namespace boost::json {
// Failure messages show JSON as text.
inline void PrintTo(const object& value, std::ostream* out) {
  *out << serialize(value);
}
}  // namespace boost::json

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr const char* kWireItem =
    R"({"id":"abc","parent":"1","name":"a.txt","dir":false,"size":5,"mtime":1700000000.5,)"
    R"("version":"v1","writable":true})";
// kWireItem as the host sees it.
constexpr const char* kItemJSON =
    R"({"itemIdentifier":"abc","parentItemIdentifier":"NSFileProviderRootContainerItemIdentifier",)"
    R"("filename":"a.txt","contentType":"public.plain-text","documentSize":5,)"
    R"("contentModificationDate":1700000000.5,"creationDate":1700000000.5,"contentVersion":"v1",)"
    R"("metadataVersion":"v1/1/a.txt/false/false","capabilities":47,"isUploaded":true,)"
    R"("isUploading":false,"uploadingError":null})";

// Replaces the "ITEM" in `text`, if any, with `item`; no text here holds two.
std::string withItem(std::string text, const std::string& item) {
  if (auto at = text.find("ITEM"); at != std::string::npos) text.replace(at, 4, item);
  return text;
}

// The one JSON line qdrive prints with --json.
boost::json::object jsonLine(const std::string& out) {
  EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
  return parseObject(out);
}

class QdriveTest : public DriveFixture {
 protected:
  Finished qdrive(std::vector<std::string> arguments, fs::path containers = {}) {
    if (containers.empty()) containers = temp_.path() / "containers";
    arguments.insert(arguments.begin(), {"--containers", containers.string(), "--group", kTestGroup,
                                         "--domain", domain_.identifier});
    return runProgram(QD_QDRIVE_BINARY, arguments, cleanEnvironment(temp_.path()));
  }
  fs::path fetchDirectory() const {
    return temp_.path() / "state/quorvelle" / domain_.identifier / "tmp";
  }
  void reply(const std::string& json, const std::string& body = {}) {
    companion().enqueue(Answer::reply(json, body));
  }
};

struct RoundTrip {
  const char* name;
  std::vector<std::string> arguments;  // "{contents}" stands for a file holding "hello"
  std::vector<std::string> replies;
  std::vector<std::string> requests;  // what the companion must receive, in order
  int status;
  std::string output;  // the JSON line; ITEM stands for kItemJSON
  std::string body{};  // bytes after the last request's JSON

  friend void PrintTo(const RoundTrip& trip, std::ostream* out) { *out << trip.name; }
};

class RoundTripTest : public QdriveTest, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(RoundTripTest, MakesOneHostCallAndPrintsItsAnswer) {
  const auto& trip = GetParam();
  companion();
  for (const auto& text : trip.replies) reply(withItem(text, kWireItem));
  std::vector<std::string> arguments{"--json"};
  for (const auto& argument : trip.arguments)
    arguments.push_back(argument == "{contents}" ? localFile("contents", "hello").string()
                                                 : argument);

  auto run = qdrive(arguments);

  EXPECT_EQ(run.status, trip.status) << run.err;
  EXPECT_EQ(jsonLine(run.out), parseObject(withItem(trip.output, kItemJSON)));
  auto received = companion().requests();
  ASSERT_EQ(received.size(), trip.requests.size());
  for (std::size_t i = 0; i < received.size(); ++i)
    EXPECT_EQ(received[i].json, parseObject(trip.requests[i])) << "request " << i;
  EXPECT_EQ(received.empty() ? std::string() : received.back().body, trip.body);
}

const std::string kItem = R"({"item":ITEM})";
const std::string kChanged = R"({"item":ITEM,"stillPendingFields":0,"shouldFetchContent":false})";
const std::string kRename = R"({"op":"rename","id":"abc","parent":"1","name":"b.txt"})";
const std::string kNoSuchItem = R"({"error":{"domain":"NSFileProviderErrorDomain","code":-1005}})";
const std::string kExpired = R"({"error":{"domain":"NSFileProviderErrorDomain","code":-1002}})";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Commands, RoundTripTest,
    ::testing::Values(
        RoundTrip{"item", {"item", "abc"}, {kItem}, {R"({"op":"item","id":"abc"})"}, 0, kItem},
        RoundTrip{"lsRoot", {"ls", "@root"}, {R"({"items":[ITEM]})"}, {R"({"op":"list","id":"1"})"},
                  0, R"({"items":[ITEM]})"},
        RoundTrip{"lsWorkingSet", {"ls", "@working-set"}, {R"({"items":[]})"}, {R"({"op":"all"})"},
                  0, R"({"items":[]})"},
        RoundTrip{"lsFailing", {"ls", "x"}, {R"({"error":"notFound"})"},
                  {R"({"op":"list","id":"x"})"}, 1, kNoSuchItem},
        RoundTrip{"anchor", {"anchor", "@root"}, {R"({"anchor":7})"}, {R"({"op":"anchor"})"}, 0,
                  R"({"anchor":"7"})"},
        RoundTrip{"anchorNullSucceeds", {"anchor", "@root"}, {R"({"error":"busy"})"},
                  {R"({"op":"anchor"})"}, 0, R"({"anchor":null})"},
        RoundTrip{"changesFromCurrent", {"changes", "@root", "7"}, {R"({"anchor":7})"},
                  {R"({"op":"anchor"})"}, 0, R"({"anchor":"7","moreComing":false})"},
        RoundTrip{"createFile", {"create", "@root", "a b.txt", "--contents", "{contents}"}, {kItem},
                  {R"({"op":"create","parent":"1","name":"a b.txt","dir":false,"size":5})"}, 0,
                  kChanged, "hello"},
        RoundTrip{"createFolder", {"create", "@root", "d", "--dir"}, {kItem},
                  {R"({"op":"create","parent":"1","name":"d","dir":true})"}, 0, kChanged},
        RoundTrip{"createWithFolderType", {"create", "p", "d", "--type", "public.folder"}, {kItem},
                  {R"({"op":"create","parent":"p","name":"d","dir":true})"}, 0, kChanged},
        RoundTrip{"modifyNames", {"modify", "abc", "--parent", "@root", "--name", "b.txt",
                  "--fields", "filename,parentItemIdentifier"}, {kItem}, {kRename}, 0, kChanged},
        RoundTrip{"modifyRawBits", {"modify", "abc", "--parent", "@root", "--name", "b.txt",
                  "--fields", "4"}, {kItem}, {kRename}, 0, kChanged},
        RoundTrip{"modifyContents", {"modify", "abc", "--parent", "p", "--name", "n", "--fields",
                  "contents", "--contents", "{contents}", "--base", " v1 "},
                  {R"({"item":ITEM,"restore":true})"},
                  {R"({"op":"write","id":"abc","size":5,"base":" v1 "})"}, 0,
                  R"({"item":ITEM,"stillPendingFields":0,"shouldFetchContent":true})", "hello"},
        RoundTrip{"delete", {"delete", "abc"}, {"{}"}, {R"({"op":"delete","id":"abc"})"}, 0, "{}"},
        // Arguments reach the companion byte for byte; an anchor that differs at all expires.
        RoundTrip{"aliasesMatchExactly", {"item", "@Root"}, {kItem},
                  {R"({"op":"item","id":"@Root"})"}, 0, kItem},
        RoundTrip{"modifyArgumentBytes", {"modify", " x", "--parent", "@trash", "--name", " n ",
                  "--fields", "filename"}, {kItem}, {R"({"op":"rename","id":" x","name":" n ",)"
                  R"("parent":"NSFileProviderTrashContainerItemIdentifier"})"}, 0, kChanged},
        RoundTrip{"anchorArgumentBytes", {"changes", "@root", "7 "}, {R"({"anchor":7})"},
                  {R"({"op":"anchor"})"}, 1, kExpired},
        RoundTrip{"invalidUTF8IdentifierMeetsTheWriter", {"item", "\xff"}, {}, {}, 1,
                  R"({"error":{"domain":"NSCocoaErrorDomain","code":3852}})"}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// The fetched file stays in the domain's temporary folder, or moves to -o's path: /dev/shm is
// usually another filesystem, where a copy stands in for rename().
TEST_F(QdriveTest, FetchInJSONLeavesTheFileInTheTemporaryFolderOrMovesItThere) {
  const std::string bytes("a\0b", 3);
  for (const fs::path& output : {fs::path(), temp_.path() / "out.bin",
                                 fs::path("/dev/shm/qdt-" + std::to_string(::getpid()))}) {
    SCOPED_TRACE(output);
    reply(withItem(kItem, kWireItem));
    reply(R"({"size":3})", bytes);
    std::vector<std::string> arguments{"--json", "fetch", "abc"};
    if (!output.empty()) arguments.insert(arguments.end(), {"-o", output.string()});
    auto run = qdrive(arguments);
    ASSERT_EQ(run.status, 0) << run.err;
    auto result = jsonLine(run.out);
    fs::path path(std::string(result.at("path").as_string()));
    EXPECT_EQ(output.empty() ? path.parent_path() : path,
              output.empty() ? fetchDirectory() : output);
    EXPECT_EQ(readWholeFile(path), bytes);
    EXPECT_EQ(result.at("size"), 3);
    EXPECT_EQ(result.at("item"), parseObject(kItemJSON));
    fs::remove(path);
    EXPECT_TRUE(fs::is_empty(fetchDirectory()));
  }
  EXPECT_EQ(companion().requests()[1].json, parseObject(R"({"op":"read","id":"abc"})"));
}

TEST_F(QdriveTest, FetchForPeopleWritesTheBytesToStdoutAndRemovesTheFile) {
  reply(withItem(kItem, kWireItem));
  reply(R"({"size":6})", std::string("hi\0\xff\n!", 6));
  auto run = qdrive({"fetch", "abc"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, std::string("hi\0\xff\n!", 6));
  EXPECT_TRUE(fs::is_empty(fetchDirectory()));
}

// Bytes that cannot all be written to stdout (a full disk) are a failure, never a success.
TEST_F(QdriveTest, FetchForPeopleFailsWhenStdoutCannotTakeTheBytes) {
  reply(withItem(kItem, kWireItem));
  reply(R"({"size":6})", "hello\n");
  std::string command = std::string(QD_QDRIVE_BINARY) + " --containers '" +
                        (temp_.path() / "containers").string() + "' --group " + kTestGroup +
                        " --domain " + domain_.identifier + " fetch abc > /dev/full";
  auto run = runProgram("/bin/sh", {"-c", command}, cleanEnvironment(temp_.path()));
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_THAT(run.err, Not(IsEmpty()));
  EXPECT_TRUE(fs::is_empty(fetchDirectory()));
}

// Byte strings that are not UTF-8 (here the domain's folder in the path) keep the output valid
// JSON: invalid bytes become U+FFFD.
TEST_F(QdriveTest, JSONOutputReplacesInvalidUTF8) {
  domain_.identifier = "d\xff";
  reply(withItem(kItem, kWireItem));
  reply(R"({"size":0})");
  auto run = qdrive({"--json", "fetch", "abc"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::string path(jsonLine(run.out).at("path").as_string());
  EXPECT_THAT(path, HasSubstr("/d\xEF\xBF\xBD/tmp/"));
  EXPECT_TRUE(fs::exists(fetchDirectory()));
}

TEST_F(QdriveTest, UsageErrorsExitTwoWithNothingOnStdout) {
  const std::vector<std::vector<std::string>> cases{
      {},
      {"frobnicate"},
      {"item"},
      {"changes", "@root"},
      {"create", "@root", "n", "--dir", "--type", "public.data"},
      {"modify", "x", "--parent", "p", "--name", "n"},
      {"modify", "x", "--parent", "p", "--name", "n", "--fields", "name"},
      {"modify", "x", "--parent", "p", "--name", "n", "--fields", "contents,"},
      {"modify", "x", "--parent", "p", "--name", "n", "--fields", "99999999999999999999"},
      {"--timeout", "-1", "item", "x"},
      {"--timeout", "nan", "item", "x"},
      {"mount", "/nonexistent", "--cache-size", "-5"},
      {"mount", "/nonexistent", "--cache-min-free", "-1"},
      {"mount", "/nonexistent", "--cache-size", "99999999999999999999"},
      {"mount", "/nonexistent", "--cache-size", "16EiB"},
  };
  companion();
  for (const auto& arguments : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    auto run = qdrive(arguments);
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.out, IsEmpty());
    EXPECT_THAT(run.err, Not(IsEmpty()));
  }
  EXPECT_EQ(companion().connectionCount(), 0u);
}

// Each value of a mount option that makes no sense is one line and exit 2, before anything
// starts: the mountpoint stays unmade, and no companion is asked or started.
TEST_F(QdriveTest, MountOptionValuesThatMakeNoSenseAreUsageErrors) {
  fs::path mountpoint = temp_.path() / "never-made";
  fs::path folder = temp_.path() / "a-folder";
  fs::create_directories(folder);
  fs::path file = temp_.path() / "a-file";
  std::ofstream(file) << "x";
  const std::string url = "http://127.0.0.1:9/drive/";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--poll", "nan"}, "--poll: expected a number of seconds from 0.05 to 86400"},
      {{"--poll", "inf"}, "--poll: expected a number of seconds"},
      {{"--poll", "-1"}, "--poll: expected a number of seconds"},
      {{"--poll", "0"}, "--poll: expected a number of seconds"},
      {{"--poll", "1e300"}, "--poll: expected a number of seconds"},
      {{"--poll", "often"}, "--poll: expected a number of seconds"},
      {{"--remote", "http://u:p@127.0.0.1/x/"}, "--remote: the URL holds credentials"},
      {{"--remote", "https://u@127.0.0.1/x/"}, "--remote: the URL holds credentials"},
      {{"--remote", "file:///etc/"}, "--remote: expected an http:// or https:// URL"},
      {{"--remote", "ftp://127.0.0.1/"}, "--remote: expected an http:// or https:// URL"},
      {{"--remote", "127.0.0.1/drive/"}, "--remote: expected an http:// or https:// URL"},
      {{"--remote", "http:///drive/"}, "--remote: the URL names no server"},
      {{"--remote", "http://127.0.0.1/a b/"}, "--remote: the URL must not hold"},
      {{"--remote", "http://127.0.0.1/x?y"}, "--remote: the URL must not hold"},
      {{"--remote", url, "--remote-poll", "nan"}, "--remote-poll: expected a number of seconds"},
      {{"--remote", url, "--remote-poll", "-inf"}, "--remote-poll: expected a number"},
      {{"--remote", url, "--netrc", (temp_.path() / "none").string()}, "--netrc: "},
      {{"--remote", url, "--netrc", folder.string()}, "is not a file"},
      {{"--remote", url, "--cacert", (temp_.path() / "none").string()}, "--cacert: "},
      {{"--netrc", file.string()}, "--netrc requires --remote"},
      {{"--store", file.string()}, "--store: " + file.string() + " is not a folder"},
      {{"--store", ""}, "--store: expected a folder"},
      {{"--store", folder.string(), "--remote", url}, "excludes"},
      {{"--companion", (temp_.path() / "none").string()}, "is not a program that can be run"},
      {{"--companion", file.string()}, "is not a program that can be run"},
      {{"--companion", "no-such-program-anywhere"}, "is not a program that can be run"},
      {{"--cache-size", "nan"}, "--cache-size: "},
      {{"--cache-size", "-5"}, "--cache-size: "},
      {{"--cache-min-free", "1e30"}, "--cache-min-free: "},
  };
  companion();
  for (const auto& [options, words] : cases) {
    std::vector<std::string> arguments{"mount", mountpoint.string()};
    arguments.insert(arguments.end(), options.begin(), options.end());
    SCOPED_TRACE(::testing::PrintToString(arguments));
    auto run = qdrive(arguments);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_THAT(run.out, IsEmpty());
    EXPECT_THAT(run.err, HasSubstr(words));
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
    EXPECT_EQ(run.err.find("u:p"), std::string::npos) << "a password shown";
    EXPECT_FALSE(fs::exists(mountpoint));
  }
  // The mountpoint, the group and the domain name folders.
  auto file_mount = qdrive({"mount", file.string()});
  EXPECT_EQ(file_mount.status, 2);
  EXPECT_THAT(file_mount.err, HasSubstr("is not a folder"));
  for (const char* option : {"--group", "--domain"}) {
    auto run = runProgram(QD_QDRIVE_BINARY, {option, "../x", "mount", mountpoint.string()},
                          cleanEnvironment(temp_.path()));
    EXPECT_EQ(run.status, 2) << option;
    EXPECT_THAT(run.err, HasSubstr(std::string(option) + ": \"../x\" cannot be a folder's name"));
    EXPECT_FALSE(fs::exists(mountpoint));
  }
  EXPECT_EQ(companion().connectionCount(), 0u);
}

TEST_F(QdriveTest, BothProgramsSayTheProjectsVersion) {
  for (const char* program : {QD_QDRIVE_BINARY, QD_COMPANION_BINARY}) {
    auto run = runProgram(program, {"--version"}, {});
    EXPECT_EQ(run.status, 0) << program;
    EXPECT_EQ(run.out, fs::path(program).filename().string() + " " + QD_PROJECT_VERSION + "\n");
  }
}

TEST_F(QdriveTest, UnreachableCompanionFailsWithServerUnreachable) {
  fs::create_directories(temp_.path() / "empty" / kTestGroup);
  for (const auto& root : {temp_.path() / "empty", temp_.path() / "missing"}) {
    SCOPED_TRACE(root);
    auto run = qdrive({"ls", "@root"}, root);
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.out, IsEmpty());
    EXPECT_EQ(run.err, "server unreachable (NSFileProviderErrorDomain -1004)\n");
  }
}

// A companion that never answers: without the time-out the run would be killed (status 137).
TEST_F(QdriveTest, TimeoutExitsThreeWithoutWaitingForTheCompanion) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"--timeout", "0.5", "item", "x"}, {"--json", "ls", "@root", "--timeout", "0.5"}}) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    companion().setFallback([](const RecordedRequest&) { return Answer::hold(); });
    auto run = qdrive(arguments);
    EXPECT_EQ(run.status, 3);
    EXPECT_THAT(run.out, IsEmpty());
    EXPECT_THAT(run.err, HasSubstr("timed out"));
    stopCompanion();
  }
}

TEST_F(QdriveTest, ListForPeopleIsAnAlignedTable) {
  reply(R"({"items":[{"id":"7","parent":"1","name":"notes.txt","dir":false,"size":2048,)"
        R"("mtime":0},{"id":"long-id","parent":"1","name":"Ordner","dir":true}]})");
  auto run = qdrive({"ls", "@root"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "KIND     SIZE  MODIFIED          NAME       ID\n"
            "file  2.0 KiB  1970-01-01 00:00  notes.txt  7\n"
            "dir         -  1970-01-01 00:00  Ordner     long-id\n");
}

TEST_F(QdriveTest, DefaultsFindTheCompanionUnderTheRuntimeDirectory) {
  auto container = temp_.path() / "run/quorvelle/group.quorvelle.drive";
  fs::create_directories(container);
  FakeCompanion fake(container / "drive.sock");
  fake.enqueue(Answer::reply(R"({"items":[]})"));
  auto env = cleanEnvironment(temp_.path());
  env.push_back("XDG_RUNTIME_DIR=" + (temp_.path() / "run").string());
  auto run = runProgram(QD_QDRIVE_BINARY, {"--json", "ls", "@root"}, env);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "{\"items\":[]}\n");
  EXPECT_EQ(fake.requests().size(), 1u);
}

}  // namespace
}  // namespace QuorvelleDrive::testing

#endif  // QD_QDRIVE_BINARY

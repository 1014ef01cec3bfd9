// Bodies that live in files: a large fetched body is received straight into the fetched file,
// a large upload is sent from its file. What the host and the companion see stays as it was
// with bodies in memory, faults included.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>
#include <fstream>
#include <future>
#include <tuple>

#include "boundaries/file_provider_error.h"
#include "boundaries/file_provider_manager.h"
#include "channel/app_client.h"
#include "channel/unavailable.h"
#include "companion/framing.h"
#include "companion/server.h"
#include "platform/files.h"
#include "support/drive_fixture.h"
#include "support/operations.h"
#include "support/tmpfs.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;

std::string patterned(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 4093) % 251);
  return bytes;
}

std::size_t entriesIn(const fs::path& folder) {
  if (!fs::exists(folder)) return 0;
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {}));
}

class FileBodiesTest : public DriveFixture {
 protected:
  FileBodiesTest() { companion(); }

  FetchAnswer fetchWith(std::string_view readReply) {
    companion().enqueue(Answer::reply(kItemReply));
    companion().enqueue(Answer::raw(std::string(readReply)));
    return fetch(*extension_, ItemIdentifier("a"));
  }

  std::shared_ptr<FileProviderExtension> extension_ = FileProviderExtension::create(domain_);
  const std::string large_ = patterned(3 << 20);
  const std::string whole_ = frame(R"({"size":3145728})", large_);
  const std::string cut_ = frame(R"({"size":3145728})", large_.substr(0, 1 << 20));
};

// The body arrives as the fetched file itself: nothing else is ever left in the folder, and a
// body cut short leaves nothing at all.
TEST_F(FileBodiesTest, ALargeFetchedBodyIsTheFetchedFileAndACutOneLeavesNothing) {
  auto cut = fetchWith(cut_);
  EXPECT_EQ(cut.error, fileProviderError(FileProviderError::serverUnreachable));
  EXPECT_FALSE(cut.file);
  EXPECT_EQ(entriesIn(temporaryDirectory()), 0u);

  auto whole = fetchWith(whole_);
  ASSERT_FALSE(whole.error);
  EXPECT_EQ(whole.file->parent_path(), temporaryDirectory());
  EXPECT_TRUE(readWholeFile(*whole.file) == large_);
  EXPECT_EQ(fs::status(*whole.file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(entriesIn(temporaryDirectory()), 1u);
}

// Where the body cannot be kept, the host hears it only after the whole body came, and in the
// order it would with the body in memory: a cut reply is unreachable first, then a missing item
// or manager, then the folder's error.
TEST_F(FileBodiesTest, FailuresToKeepALargeBodyComeInTheirOrder) {
  struct BrokenFolder : FileProviderManager {
    fs::path temporaryDirectoryURL() const override {
      throw cocoaError(CocoaError::fileWriteVolumeReadOnly);
    }
  };
  auto broken = std::make_shared<BrokenFolder>();
  const DomainRegistry::Lookup brokenLookup = [broken](const Domain&) { return broken; };
  const DomainRegistry::Lookup noManager = [](const Domain&) { return nullptr; };
  const Error unreachable = fileProviderError(FileProviderError::serverUnreachable);
  const Error noItem = fileProviderError(FileProviderError::noSuchItem);
  const std::tuple<const char*, std::string, std::string, DomainRegistry::Lookup, Error> cases[] = {
      {"folder broken", kItemReply, whole_, brokenLookup,
       cocoaError(CocoaError::fileWriteVolumeReadOnly)},
      {"folder broken, reply cut", kItemReply, cut_, brokenLookup, unreachable},
      {"no manager", kItemReply, whole_, noManager, noItem},
      {"no item", "{}", whole_, nullptr, noItem},
      {"no item, reply cut", "{}", cut_, nullptr, unreachable},
  };
  std::size_t requests = 0;
  for (const auto& [name, itemReply, readReply, lookup, error] : cases) {
    DomainRegistry::shared().setLookup(lookup);
    companion().enqueue(Answer::reply(itemReply));
    companion().enqueue(Answer::raw(readReply));
    auto answer = fetch(*extension_, ItemIdentifier("a"));
    EXPECT_EQ(answer.error, error) << name;
    EXPECT_FALSE(answer.file) << name;
    EXPECT_EQ(sent().size(), requests += 2) << name;
  }
  EXPECT_EQ(entriesIn(temporaryDirectory()), 0u);
}

// A temporary folder on a 512 KiB file system: a body that does not fit is the write error the
// host got when the whole body was written at once, but only once the body is whole.
TEST_F(FileBodiesTest, AFullDiskIsTheWriteErrorOnceTheBodyIsWhole) {
  Tmpfs disk(temporaryDirectory(), "512k");
  if (!disk.failure().empty()) GTEST_SKIP() << disk.failure();
  EXPECT_EQ(fetchWith(whole_).error, cocoaError(CocoaError::fileWriteOutOfSpace));
  EXPECT_EQ(fetchWith(cut_).error, fileProviderError(FileProviderError::serverUnreachable));
  EXPECT_EQ(entriesIn(temporaryDirectory()), 0u);
  // The space came back with the failed fetches.
  auto small = fetchWith(frame(R"({"size":5})", "hello"));
  ASSERT_FALSE(small.error);
  EXPECT_EQ(readWholeFile(*small.file), "hello");
}

// A companion that reads an upload's first megabyte, waits while the test changes the file, then
// reads on until the client stops; it answers only a body that came whole.
class PausingReader {
 public:
  static constexpr std::size_t kBody = 8 << 20;

  explicit PausingReader(fs::path socket)
      : server_(
            std::move(socket), [this](int fd, std::string) { serve(fd); }, nullptr) {}

  std::future<void>& paused() { return paused_; }
  void resume() { resume_.set_value(); }
  std::size_t received() { return received_.get_future().get(); }

 private:
  static constexpr std::size_t kFirst = 1 << 20;

  void serve(int fd) {
    std::string chunk(kFirst, '\0');
    std::size_t got = 0;
    if (companion::readExact(fd, chunk.data(), kFirst)) got = kFirst;
    pausedPromise_.set_value();
    resumeFuture_.wait();
    for (ssize_t n; (n = ::read(fd, chunk.data(), chunk.size())) > 0;) {
      got += static_cast<std::size_t>(n);
      if (got == kBody) break;
    }
    if (got == kBody) companion::writeFrame(fd, "{}");
    received_.set_value(got);
  }

 private:
  std::promise<void> pausedPromise_;
  std::future<void> paused_ = pausedPromise_.get_future();
  std::promise<void> resume_;
  std::future<void> resumeFuture_ = resume_.get_future();
  std::promise<std::size_t> received_;
  companion::Server server_;
};

// A file that changes size while it is sent never reaches the companion as a whole body: it
// stops short where a shrunk file ends, one byte short of a grown one, and the call fails as a
// cut exchange does. An unchanged file goes whole.
TEST(FileBodyUploads, AFileThatChangesSizeWhileSentIsCutShort) {
  const std::size_t size = PausingReader::kBody;
  const std::tuple<const char*, std::function<void(const fs::path&)>, bool, std::size_t> cases[] = {
      {"unchanged", [](const fs::path&) {}, true, size},
      {"shrunk", [](const fs::path& file) { fs::resize_file(file, 4 << 20); }, false, 4 << 20},
      {"grown", [](const fs::path& file) { fs::resize_file(file, size + 4096); }, false, size - 1},
  };
  for (const auto& [name, change, succeeds, received] : cases) {
    TempDir temp;
    auto file = temp.path() / "upload";
    std::ofstream(file, std::ios::binary) << patterned(size);
    PausingReader companion(temp.path() / "drive.sock");
    Buffer body = readFile(file);
    auto call = std::async(std::launch::async, [&] {
      AppClient((temp.path() / "drive.sock").string())
          .call({{"op", "write"}, {"size", size}}, &body);
    });
    companion.paused().wait();
    change(file);
    companion.resume();
    EXPECT_EQ(companion.received(), received) << name;
    if (succeeds)
      EXPECT_NO_THROW(call.get()) << name;
    else
      EXPECT_THROW(call.get(), Unavailable) << name;
  }
}

}  // namespace
}  // namespace QuorvelleDrive::testing

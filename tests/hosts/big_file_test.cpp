// A file larger than the memory every program may have moves both ways: the companion, qdrive and
// the mount each run under RLIMIT_DATA, which counts the heap and anonymous memory but not a
// file's pages, so a body held whole in memory anywhere on the way fails the move.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

#include "companion/fd.h"
#include "hosts/child_process.h"
#include "support/drive_fixture.h"
#include "support/temp_dir.h"

#if defined(QD_COMPANION_BINARY) && defined(QD_QDRIVE_BINARY)

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFileBytes = 256 << 20;
constexpr const char* kDataLimit = "--data=67108864";  // 64 MiB
// Thread stacks are data too: the default 8 MiB each would use the limit up before any body
// does, so the programs start their threads with 1 MiB stacks.
constexpr const char* kStackLimit = "--stack=1048576";

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Where the large files go: the disk, not a RAM-backed /tmp.
fs::path onDisk() {
  struct statfs info {};
  if (::statfs("/tmp", &info) == 0 && info.f_type == TMPFS_MAGIC) return fs::current_path();
  return "/tmp";
}

void writePatterned(const fs::path& path, std::size_t size) {
  std::string piece(1 << 20, '\0');
  std::ofstream out(path, std::ios::binary);
  for (std::size_t done = 0; done < size; done += piece.size()) {
    for (std::size_t i = 0; i < piece.size(); ++i)
      piece[i] = static_cast<char>((done + i) * 131 / 7 % 251);
    out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
  }
}

bool sameBytes(const fs::path& a, const fs::path& b) {
  std::ifstream first(a, std::ios::binary), second(b, std::ios::binary);
  std::string x(1 << 20, '\0'), y(1 << 20, '\0');
  while (first && second) {
    first.read(x.data(), static_cast<std::streamsize>(x.size()));
    second.read(y.data(), static_cast<std::streamsize>(y.size()));
    if (first.gcount() != second.gcount() || x.compare(0, first.gcount(), y, 0, first.gcount()))
      return false;
  }
  return first.eof() && second.eof();
}

class BigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!companion::UniqueFd(::open("/dev/fuse", O_RDWR | O_CLOEXEC)).valid())
      GTEST_SKIP() << "cannot open /dev/fuse: " << std::strerror(errno);
    RecordProperty("memoryLimit", kSanitized ? "none: the sanitizers reserve their shadow "
                                               "memory as data"
                                             : kDataLimit);
    fs::create_directories(store());
    fs::create_directories(mountpoint());
    writePatterned(source(), kFileBytes);
    auto [program, arguments] =
        limited(QD_COMPANION_BINARY, inGroup({"--store", store().string()}));
    companion_ = std::make_unique<BackgroundProgram>(program, arguments, env());
    ASSERT_TRUE(eventually([&] { return fs::exists(containers() / "g" / "drive.sock"); }));
  }

  // `program` with `arguments`, under the memory limit where it can have one.
  std::pair<std::string, std::vector<std::string>> limited(std::string program,
                                                           std::vector<std::string> arguments) {
    if (kSanitized) return {std::move(program), std::move(arguments)};
    arguments.insert(arguments.begin(), {kDataLimit, kStackLimit, "--", program});
    return {"/usr/bin/prlimit", std::move(arguments)};
  }
  Finished qdrive(std::vector<std::string> arguments) {
    auto [program, all] = limited(QD_QDRIVE_BINARY, inGroup(std::move(arguments)));
    return runProgram(program, all, env(), std::chrono::seconds(120));
  }
  void mount() {
    auto [program, arguments] =
        limited(QD_QDRIVE_BINARY,
                inGroup({"mount", mountpoint().string(), "--poll", "0.3", "--no-companion"}));
    mount_ = std::make_unique<BackgroundProgram>(program, arguments, env(), temp_.path() / "log");
    ASSERT_TRUE(eventually([&] {
      return readWholeFile("/proc/self/mounts").find(" " + mountpoint().string() + " ") !=
             std::string::npos;
    }));
  }
  void unmount() {
    runProgram("/usr/bin/fusermount3", {"-u", mountpoint().string()}, env());
    EXPECT_EQ(mount_->wait(), 0) << readWholeFile(temp_.path() / "log");
    mount_.reset();
  }
  std::string idOf(const std::string& name) {
    auto listing = boost::json::parse(qdrive({"--json", "ls", "@root"}).out);
    for (const auto& item : listing.at("items").as_array())
      if (item.at("filename").as_string() == name)
        return std::string(item.at("itemIdentifier").as_string());
    return {};
  }

  std::vector<std::string> inGroup(std::vector<std::string> more) const {
    more.insert(more.begin(), {"--group", "g", "--containers", containers().string()});
    return more;
  }
  std::vector<std::string> env() const { return cleanEnvironment(disk_.path()); }
  fs::path containers() const { return temp_.path() / "c"; }
  fs::path mountpoint() const { return temp_.path() / "mnt"; }
  fs::path store() const { return disk_.path() / "store"; }
  fs::path source() const { return disk_.path() / "source.bin"; }

  TempDir temp_;
  TempDir disk_{onDisk()};
  std::unique_ptr<BackgroundProgram> companion_;
  std::unique_ptr<BackgroundProgram> mount_;
};

TEST_F(BigFileTest, AFileLargerThanEveryProgramsMemoryLimitMovesBothWays) {
  auto created = qdrive({"create", "@root", "up.bin", "--contents", source().string()});
  ASSERT_EQ(created.status, 0) << created.err;
  EXPECT_TRUE(sameBytes(store() / "up.bin", source()));
  auto fetched = qdrive({"fetch", idOf("up.bin"), "-o", (disk_.path() / "out.bin").string()});
  ASSERT_EQ(fetched.status, 0) << fetched.err;
  EXPECT_TRUE(sameBytes(disk_.path() / "out.bin", source()));

  mount();
  auto copied = runProgram("/bin/cp", {source().string(), (mountpoint() / "in.bin").string()},
                           env(), std::chrono::seconds(120));
  ASSERT_EQ(copied.status, 0) << copied.err;
  EXPECT_TRUE(eventually(
      [&] {
        return qdrive({"status", "--json"}).out.starts_with("{\"pending\":[]");
      },
      std::chrono::seconds(60)));
  EXPECT_TRUE(sameBytes(store() / "in.bin", source()));
  unmount();

  mount();  // afresh, so that reading fetches the file
  auto read = runProgram("/bin/sh",
                         {"-c", "cat \"$0\" >\"$1\"", (mountpoint() / "up.bin").string(),
                          (disk_.path() / "read.bin").string()},
                         env(), std::chrono::seconds(120));
  ASSERT_EQ(read.status, 0) << read.err;
  EXPECT_TRUE(sameBytes(disk_.path() / "read.bin", source()));
  unmount();
  EXPECT_TRUE(companion_->running());
}

}  // namespace
}  // namespace QuorvelleDrive::testing

#endif

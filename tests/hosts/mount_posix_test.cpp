// The mount answers as a local file system would: names, times, link counts, and what one
// descriptor sees of another's writes.
#if defined(QD_COMPANION_BINARY) && defined(QD_QDRIVE_BINARY)

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include <functional>
#include <tuple>
#include <utility>

#include "hosts/mount_fixture.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;

bool earlier(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}
bool same(const timespec& a, const timespec& b) {
  return !earlier(a, b) && !earlier(b, a);
}

struct stat statOf(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path << ": " << std::strerror(errno);
  return st;
}

std::string readFrom(int fd) {
  std::string bytes;
  char chunk[4096];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) bytes.append(chunk, n);
  return bytes;
}

void append(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::app | std::ios::binary) << bytes;
}

TEST_F(MountTest, NamesOverTheLimitAreTooLongForEveryCall) {
  std::string longest(255, 'n');
  put(in(longest), "fits");
  EXPECT_EQ(readWholeFile(in(longest)), "fits");
  put(in("file"), "x");
  auto tooLong = in(std::string(256, 'n')).string();
  auto file = in("file").string();
  struct stat st {};
  const std::pair<const char*, std::function<int()>> calls[] = {
      {"mkdir", [&] { return ::mkdir(tooLong.c_str(), 0755); }},
      {"open", [&] { return ::open(tooLong.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644); }},
      {"rename from", [&] { return ::rename(tooLong.c_str(), file.c_str()); }},
      {"rename to", [&] { return ::rename(file.c_str(), tooLong.c_str()); }},
      {"link", [&] { return ::link(file.c_str(), tooLong.c_str()); }},
      {"unlink", [&] { return ::unlink(tooLong.c_str()); }},
      {"rmdir", [&] { return ::rmdir(tooLong.c_str()); }},
      {"stat", [&] { return ::stat(tooLong.c_str(), &st); }},
      {"truncate", [&] { return ::truncate(tooLong.c_str(), 0); }},
      {"chmod", [&] { return ::chmod(tooLong.c_str(), 0600); }},
      {"chown", [&] { return ::chown(tooLong.c_str(), ::getuid(), ::getgid()); }},
  };
  for (const auto& [what, call] : calls) {
    errno = 0;
    EXPECT_EQ(call(), -1) << what;
    EXPECT_EQ(errno, ENAMETOOLONG) << what << ": " << std::strerror(errno);
  }
}

// `call` on a descriptor of `path` opened for writing, with the call's errno kept.
int withDescriptor(const std::string& path, const std::function<int(int)>& call) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  int result = call(fd);
  int err = errno;
  ::close(fd);
  errno = err;
  return result;
}

// What the README promises for each feature the domain has no place for; a regular file made by
// mknod is an ordinary file.
TEST_F(MountTest, UnsupportedFeaturesAnswerAsDocumented) {
  put(in("file"), "x");
  auto at = [&](const char* name) { return in(name).string(); };
  const std::tuple<const char*, std::function<int()>, int> calls[] = {
      {"link", [&] { return ::link(at("file").c_str(), at("link").c_str()); }, EPERM},
      {"symlink", [&] { return ::symlink("file", at("symlink").c_str()); }, ENOSYS},
      {"mkfifo", [&] { return ::mkfifo(at("fifo").c_str(), 0644); }, ENOSYS},
      {"mknod", [&] { return ::mknod(at("dev").c_str(), S_IFCHR | 0644, makedev(1, 3)); }, ENOSYS},
      {"setxattr", [&] { return ::setxattr(at("file").c_str(), "user.a", "1", 1, 0); }, ENOTSUP},
      {"fallocate",
       [&] {
         return withDescriptor(at("file"), [](int fd) { return ::fallocate(fd, 0, 0, 4096); });
       },
       EOPNOTSUPP},
      {"chmod", [&] { return ::chmod(at("file").c_str(), 0600); }, 0},
      {"chown", [&] { return ::chown(at("file").c_str(), ::getuid(), ::getgid()); }, 0},
  };
  for (const auto& [what, call, expected] : calls) {
    errno = 0;
    EXPECT_EQ(call(), expected ? -1 : 0) << what;
    EXPECT_EQ(errno, expected) << what << ": " << std::strerror(errno);
  }
  ASSERT_EQ(::mknod(at("plain").c_str(), S_IFREG | 0644, 0), 0) << std::strerror(errno);
  ASSERT_TRUE(landed());
  EXPECT_TRUE(fs::is_regular_file(store() / "plain"));
}

// touch -d @200000000.2, then touch -a: whole nanoseconds, each time on its own, and ctime the
// time of the last change, which setting an old mtime does not take back.
TEST_F(MountTest, TimesAreKeptApartToTheNanosecond) {
  put(in("f"), "x");
  auto created = statOf(in("f"));
  timespec times[2] = {{0, UTIME_OMIT}, {200'000'000, 200'000'000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, in("f").c_str(), times, 0), 0);
  auto touched = statOf(in("f"));
  EXPECT_EQ(touched.st_mtim.tv_sec, 200'000'000);
  EXPECT_EQ(touched.st_mtim.tv_nsec, 200'000'000);
  EXPECT_FALSE(earlier(touched.st_ctim, created.st_ctim)) << "ctime went back with the mtime";
  times[0] = {300'000'000, 5};
  times[1] = {0, UTIME_OMIT};
  ASSERT_EQ(::utimensat(AT_FDCWD, in("f").c_str(), times, 0), 0);
  auto accessed = statOf(in("f"));
  EXPECT_EQ(accessed.st_atim.tv_sec, 300'000'000);
  EXPECT_EQ(accessed.st_atim.tv_nsec, 5);
  EXPECT_TRUE(same(accessed.st_mtim, touched.st_mtim));
  EXPECT_TRUE(earlier(touched.st_ctim, accessed.st_ctim));
}

// Adding or removing an entry moves its folder's mtime and ctime at once; polls that bring no
// change to the folder leave them be.
TEST_F(MountTest, FolderTimesFollowTheirEntriesAndNothingElse) {
  ASSERT_EQ(::mkdir(in("d").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(in("other").c_str(), 0755), 0);
  auto made = statOf(in("d"));
  put(in("d/new"), "x");
  auto added = statOf(in("d"));
  EXPECT_TRUE(earlier(made.st_mtim, added.st_mtim));
  EXPECT_TRUE(earlier(made.st_ctim, added.st_ctim));
  ASSERT_EQ(::unlink(in("d/new").c_str()), 0);
  auto removed = statOf(in("d"));
  EXPECT_TRUE(earlier(added.st_mtim, removed.st_mtim));
  EXPECT_TRUE(earlier(added.st_ctim, removed.st_ctim));
  // Each change in the store makes the poller relist every folder it knows, "d" included.
  ASSERT_TRUE(landed());
  for (const char* name : {"one", "two"}) {
    put(store() / "other" / name, name);
    ASSERT_TRUE(eventually([&] { return fs::exists(in("other") / name); }));
  }
  auto polled = statOf(in("d"));
  EXPECT_TRUE(same(polled.st_mtim, removed.st_mtim));
  EXPECT_TRUE(same(polled.st_ctim, removed.st_ctim));
}

// Folders do not count their subfolders and say so with 1; an unlinked open file has 0 links.
TEST_F(MountTest, LinkCounts) {
  for (const char* dir : {"d", "d/a", "d/b"}) ASSERT_EQ(::mkdir(in(dir).c_str(), 0755), 0);
  put(in("f"), "x");
  EXPECT_EQ(statOf(in("d")).st_nlink, 1u);
  EXPECT_EQ(statOf(in("f")).st_nlink, 1u);
  int fd = ::open(in("f").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::unlink(in("f").c_str()), 0);
  struct stat st {};
  EXPECT_EQ(::fstat(fd, &st), 0);
  EXPECT_EQ(st.st_nlink, 0u);
  ::close(fd);
}

TEST_F(MountTest, DescriptorsOfAFileSeeOneAnother) {
  // `tail -f`: a reader opened before others append sees their bytes, during and after.
  put(in("log"), "one\n");
  int reader = ::open(in("log").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(readFrom(reader), "one\n");
  int writer = ::open(in("log").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_EQ(::write(writer, "two\n", 4), 4);
  EXPECT_EQ(readFrom(reader), "two\n");
  ASSERT_EQ(::close(writer), 0);
  append(in("log"), "three\n");
  EXPECT_EQ(readFrom(reader), "three\n");
  ::close(reader);

  // A save by rename while the saved file is still open: later writes follow it to the target.
  put(in("tgt"), "OLD\n");
  writer = ::open(in("tmp").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_EQ(::write(writer, "NEW-1\n", 6), 6);
  ASSERT_EQ(::rename(in("tmp").c_str(), in("tgt").c_str()), 0);
  ASSERT_EQ(::write(writer, "NEW-2\n", 6), 6);
  ASSERT_EQ(::close(writer), 0);
  ASSERT_TRUE(landed());
  EXPECT_EQ(readWholeFile(store() / "tgt"), "NEW-1\nNEW-2\n");
  EXPECT_FALSE(fs::exists(store() / "tgt (conflict 1)"));

  // A write through a descriptor of a file since replaced by rename goes to the unlinked file.
  put(in("out"), "a");
  put(in("out.new"), "b");
  writer = ::open(in("out").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_EQ(::rename(in("out.new").c_str(), in("out").c_str()), 0);
  ASSERT_EQ(::write(writer, "late", 4), 4);
  EXPECT_EQ(::close(writer), 0);
  ASSERT_TRUE(landed());
  EXPECT_EQ(readWholeFile(store() / "out"), "b");
  EXPECT_NE(status().find("no uploads pending"), std::string::npos) << status();
}

}  // namespace
}  // namespace QuorvelleDrive::testing

#endif

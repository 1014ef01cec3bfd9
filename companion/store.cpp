#include "companion/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <unordered_set>

#include "companion/link_file.h"
#include "companion/refusal.h"
#include "platform/json.h"
#include "platform/kernel_copy.h"
#include "platform/uuid.h"

namespace QuorvelleDrive::companion {
namespace fs = std::filesystem;

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

void makeOwnDirectory(const fs::path& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) refuseErrno(errno);
}

// The companion's own folders are never a link to somewhere else: the index and staged bytes
// would go wherever it points.
UniqueFd openOwnFolder(const fs::path& dir) {
  UniqueFd fd(::open(dir.c_str(), kFolderFlags));
  if (!fd.valid())
    throw std::runtime_error("cannot open " + dir.string() +
                             (errno == ELOOP || errno == ENOTDIR
                                  ? ": it is not a folder (a symbolic link?); move it away"
                                  : ""));
  return fd;
}

std::optional<struct stat> lstatAt(int folder, const std::string& name) {
  struct stat st;
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return st;
}

bool isLinkAt(int folder, const std::string& name) {
  auto st = lstatAt(folder, name);
  return st && S_ISLNK(st->st_mode);
}

bool isRealEntryAt(int folder, const std::string& name) {
  auto st = lstatAt(folder, name);
  return st && (S_ISREG(st->st_mode) || S_ISDIR(st->st_mode));
}

std::optional<std::string> readLinkAt(int folder, const std::string& name) {
  char target[PATH_MAX];
  ssize_t n = ::readlinkat(folder, name.c_str(), target, sizeof target);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof target) return std::nullopt;
  return std::string(target, static_cast<std::size_t>(n));
}

// The link a link file's name stands for, where no regular file or folder has that name itself.
std::optional<std::string> linkBehind(int folder, const std::string& name) {
  auto link = linkNameOf(name);
  if (!link || isRealEntryAt(folder, name) || !isLinkAt(folder, *link)) return std::nullopt;
  return link;
}

// The staged bytes, when they can be a link's target.
std::optional<std::string> targetIn(const StagedFile& staged) {
  struct stat st;
  if (::fstat(staged.fd(), &st) != 0 || st.st_size <= 0 || st.st_size >= PATH_MAX)
    return std::nullopt;
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  if (::pread(staged.fd(), bytes.data(), bytes.size(), 0) != st.st_size) return std::nullopt;
  return isLinkTarget(bytes) ? std::optional(bytes) : std::nullopt;
}

// renameat2 with RENAME_NOREPLACE, falling back to a check where the file system lacks it (the
// catalog's lock keeps our own requests from racing in between).
void renameNoReplace(int fromFolder, const std::string& from, int toFolder, const std::string& to) {
  if (::renameat2(fromFolder, from.c_str(), toFolder, to.c_str(), RENAME_NOREPLACE) == 0) return;
  if (errno != EINVAL && errno != ENOSYS) refuseErrno(errno);
  if (taken(toFolder, to)) refuseErrno(EEXIST);
  if (::renameat(fromFolder, from.c_str(), toFolder, to.c_str()) != 0) refuseErrno(errno);
}

}  // namespace

StagedFile::~StagedFile() {
  if (!committed_ && !name_.empty()) ::unlinkat(stagingFolder_, name_.c_str(), 0);
}

void StagedFile::append(const char* data, std::size_t size) {
  while (error_ == 0 && size > 0) {
    ssize_t n = ::write(fd_.get(), data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = errno;
    } else {
      data += n;
      size -= static_cast<std::size_t>(n);
      written_ += n;
    }
  }
}

bool StagedFile::receive(int socket, std::uint64_t size) {
  auto received = receiveIntoFile(socket, fd_.get(), static_cast<std::size_t>(size), written_);
  if (error_ == 0) error_ = received.writeError;
  written_ += static_cast<off_t>(size);
  return received.whole;
}

void StagedFile::sync() {
  if (error_ == 0 && ::fsync(fd_.get()) != 0) error_ = errno;
}

std::optional<DiskState> inspect(int folder, const std::string& name) {
  auto st = lstatAt(folder, name);
  std::optional<std::string> target;
  if (!st || !(S_ISREG(st->st_mode) || S_ISDIR(st->st_mode))) {
    auto link = linkBehind(folder, name);
    if (link) st = lstatAt(folder, *link), target = readLinkAt(folder, *link);
    if (!st || !target) return std::nullopt;
  }
  DiskState disk;
  disk.dir = S_ISDIR(st->st_mode);
  disk.link = target.has_value();
  disk.inode = static_cast<std::int64_t>(st->st_ino);
  disk.mtime = static_cast<double>(st->st_mtim.tv_sec) + st->st_mtim.tv_nsec / 1e9;
  if (!disk.dir) {
    // A link's own st_size is not its target's length on every file system.
    disk.size = target ? target->size() : static_cast<std::uint64_t>(st->st_size);
    disk.stamp = std::to_string(disk.size) + "@" + std::to_string(st->st_mtim.tv_sec) + "." +
                 std::to_string(st->st_mtim.tv_nsec);
  }
  return disk;
}

bool taken(int folder, const std::string& name) {
  return lstatAt(folder, name).has_value();
}

bool occupied(int folder, const std::string& name) {
  auto link = linkNameOf(name);
  return taken(folder, name) || (link && taken(folder, *link));
}

std::vector<std::string> entryNames(int folder) {
  std::vector<std::string> names;
  std::vector<std::string> links;
  // fdopendir takes the descriptor over, so it gets one of its own.
  int own = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own < 0) return names;
  std::unique_ptr<DIR, int (*)(DIR*)> stream(::fdopendir(own), ::closedir);
  if (!stream) {
    ::close(own);
    return names;
  }
  while (dirent* entry = ::readdir(stream.get())) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || !isValidUTF8(name)) continue;
    bool link = entry->d_type == DT_LNK || (entry->d_type == DT_UNKNOWN && isLinkAt(own, name));
    if (!link)
      names.push_back(std::move(name));
    else if (auto file = linkFileName(name); isValidName(file))
      links.push_back(std::move(file));
  }
  std::unordered_set<std::string> real(names.begin(), names.end());
  for (auto& file : links)
    if (!real.count(file)) names.push_back(std::move(file));
  return names;
}

UniqueFd openSubfolder(int folder, const std::string& name) {
  return UniqueFd(::openat(folder, name.c_str(), kFolderFlags));
}

Store::Store(fs::path root, bool prepare) : root_(std::move(root)) {
  if (prepare) fs::create_directories(root_);
  root_ = fs::canonical(root_);
  rootFolder_ = openOwnFolder(root_);
  if (prepare) makeOwnDirectory(hiddenDir());
  struct stat st;
  if (!prepare && ::lstat(hiddenDir().c_str(), &st) != 0) return;  // a store never served
  openOwnFolder(hiddenDir());
  if (prepare) makeOwnDirectory(stagingDir());
  std::error_code ignored;
  if (!prepare && ::lstat(stagingDir().c_str(), &st) != 0) return;
  stagingFolder_ = openOwnFolder(stagingDir());
  if (!prepare) return;
  for (auto& entry : fs::directory_iterator(stagingDir(), ignored)) fs::remove(entry, ignored);
}

UniqueFd Store::openFolder(const std::vector<std::string>& names) const {
  UniqueFd at(::openat(rootFolder_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!at.valid()) refuseErrno(errno);
  for (const auto& name : names) {
    at = openSubfolder(at.get(), name);
    if (!at.valid()) refuseErrno(errno == ELOOP || errno == ENOTDIR ? ENOENT : errno);
  }
  return at;
}

UniqueFd Store::openFile(const Place& place) const {
  UniqueFd fd(::openat(place.folder.get(), place.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) refuseErrno(errno == ELOOP ? ENOENT : errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) refuseErrno(errno);
  if (S_ISDIR(st.st_mode)) refuseErrno(EISDIR);
  if (!S_ISREG(st.st_mode)) refuseErrno(ENOENT);
  return fd;
}

std::string Store::linkTarget(const Place& place) const {
  auto link = linkBehind(place.folder.get(), place.name);
  auto target = link ? readLinkAt(place.folder.get(), *link) : std::nullopt;
  if (!target) refuseErrno(ENOENT);
  return *target;
}

// Opened with mode 0666 like any program's new file, so the kernel applies the umask.
StagedFile Store::stage() const {
  for (;;) {
    std::string name = "in-" + randomUUIDString();
    UniqueFd fd(::openat(stagingFolder_.get(), name.c_str(),
                         O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd.valid()) return StagedFile(std::move(fd), stagingFolder_.get(), std::move(name));
    if (errno != EEXIST) refuseErrno(errno);
  }
}

void Store::commit(StagedFile& staged, const Place& target, bool replace) const {
  if (staged.error() != 0) refuseErrno(staged.error());
  int folder = target.folder.get();
  auto link = linkNameOf(target.name);
  bool linkThere = replace && linkBehind(folder, target.name).has_value();
  if (link && (linkThere || !replace)) {
    if (auto text = targetIn(staged)) {
      if (!replace && taken(folder, target.name)) refuseErrno(EEXIST);
      placeLink(*text, folder, *link, replace);
      return;  // the staged file goes with `staged`
    }
  }
  if (!replace || linkThere) {
    // Bytes that cannot be a link's target stay whole, as a regular file of the link file's
    // name; a link it replaces goes only once they are in place.
    if (link && isLinkAt(folder, *link) && !linkThere) refuseErrno(EEXIST);
    renameNoReplace(staged.stagingFolder(), staged.name(), folder, target.name);
    staged.markCommitted();
    if (linkThere) ::unlinkat(folder, link->c_str(), 0);
    return;
  }
  struct stat old;
  if (::fstatat(folder, target.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0)
    ::fchmod(staged.fd(), old.st_mode & 07777);
  if (::renameat(staged.stagingFolder(), staged.name().c_str(), folder, target.name.c_str()) != 0)
    refuseErrno(errno);
  staged.markCommitted();
}

void Store::placeLink(const std::string& target, int folder, const std::string& name,
                      bool replace) const {
  std::string staged = "link-" + randomUUIDString();
  if (::symlinkat(target.c_str(), stagingFolder_.get(), staged.c_str()) != 0) refuseErrno(errno);
  try {
    if (replace) {
      if (::renameat(stagingFolder_.get(), staged.c_str(), folder, name.c_str()) != 0)
        refuseErrno(errno);
    } else {
      renameNoReplace(stagingFolder_.get(), staged, folder, name);
    }
  } catch (...) {
    ::unlinkat(stagingFolder_.get(), staged.c_str(), 0);
    throw;
  }
}

StagedFile Store::stageBytes(const std::string& bytes) const {
  StagedFile staged = stage();
  staged.append(bytes.data(), bytes.size());
  staged.sync();
  if (staged.error() != 0) refuseErrno(staged.error());
  return staged;
}

void Store::makeDirectory(const Place& target) const {
  auto link = linkNameOf(target.name);
  if (link && isLinkAt(target.folder.get(), *link)) refuseErrno(EEXIST);
  if (::mkdirat(target.folder.get(), target.name.c_str(), 0755) != 0) refuseErrno(errno);
}

void Store::move(const Place& from, const Place& to) const {
  int source = from.folder.get(), destination = to.folder.get();
  auto fromLink = linkBehind(source, from.name);
  auto toLink = linkNameOf(to.name);
  if (!fromLink && !isRealEntryAt(source, from.name)) refuseErrno(ENOENT);
  if (!fromLink) {
    if (toLink && isLinkAt(destination, *toLink)) refuseErrno(EEXIST);
    renameNoReplace(source, from.name, destination, to.name);
  } else if (toLink) {
    if (taken(destination, to.name)) refuseErrno(EEXIST);
    renameNoReplace(source, *fromLink, destination, *toLink);
  } else {
    // The link's target, as the regular file the new name makes of it.
    StagedFile file = stageBytes(linkTarget(from));
    renameNoReplace(file.stagingFolder(), file.name(), destination, to.name);
    file.markCommitted();
    ::unlinkat(source, fromLink->c_str(), 0);
  }
}

void Store::remove(const Place& target, bool dir) const {
  auto link = dir ? std::nullopt : linkBehind(target.folder.get(), target.name);
  if (!link && !isRealEntryAt(target.folder.get(), target.name)) refuseErrno(ENOENT);
  const std::string& name = link ? *link : target.name;
  if (::unlinkat(target.folder.get(), name.c_str(), dir ? AT_REMOVEDIR : 0) != 0)
    refuseErrno(errno == EEXIST ? ENOTEMPTY : errno);
}

// A read lease is refused (EAGAIN) exactly while some descriptor has the file open for writing.
// It is dropped at once: a program that opens the file in that instant would wait for it, and
// the break would be signalled to us, with SIGURG, whose default is to be ignored (SIGIO's would
// end the process).
bool Store::openForWriting(const Place& place) const {
  UniqueFd fd(::openat(place.folder.get(), place.name.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid() || ::fcntl(fd.get(), F_SETSIG, SIGURG) != 0) return false;
  if (::fcntl(fd.get(), F_SETLEASE, F_RDLCK) != 0) return errno == EAGAIN;
  ::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
  return false;
}

}  // namespace QuorvelleDrive::companion

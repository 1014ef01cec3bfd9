#include "drive_space.h"

#include <cstdint>
#include <optional>

#include "server_report.h"

namespace QuorvelleDrive::fuse {
namespace {

constexpr std::uint64_t kBlock = 4096;
// Inodes are not counted on a server: as many as `df -i` needs to show room.
constexpr std::uint64_t kFiles = 1ull << 30;

struct Room {
  std::uint64_t available = 0;
  std::uint64_t used = 0;
};

std::optional<Room> publishedQuota(const std::filesystem::path& container) {
  auto report = readServerReport(container);
  if (!report) return std::nullopt;
  try {
    auto quota = report->at("quota").as_object();
    return Room{quota.at("available").to_number<std::uint64_t>(),
                quota.at("used").to_number<std::uint64_t>()};
  } catch (const std::exception&) {
    return std::nullopt;  // a server that tells no quota
  }
}

struct statvfs fromRoom(const Room& room) {
  struct statvfs st {};
  st.f_bsize = st.f_frsize = kBlock;
  st.f_blocks = (room.available + room.used) / kBlock;
  st.f_bfree = st.f_bavail = room.available / kBlock;
  st.f_files = st.f_ffree = st.f_favail = kFiles;
  return st;
}

// The file system that holds `folder`, in the mount's block size.
std::optional<struct statvfs> fileSystemOf(const std::filesystem::path& folder) {
  struct statvfs found {};
  if (::statvfs(folder.c_str(), &found) != 0) return std::nullopt;
  auto blocks = [&](fsblkcnt_t n) { return n * found.f_frsize / kBlock; };
  struct statvfs st {};
  st.f_bsize = st.f_frsize = kBlock;
  st.f_blocks = blocks(found.f_blocks);
  st.f_bfree = blocks(found.f_bfree);
  st.f_bavail = blocks(found.f_bavail);
  st.f_files = found.f_files;
  st.f_ffree = found.f_ffree;
  st.f_favail = found.f_favail;
  return st;
}

}  // namespace

struct statvfs DriveSpace::now() const {
  std::optional<struct statvfs> st;
  if (drive_.starts_with("/"))
    st = fileSystemOf(drive_);
  else if (auto quota = publishedQuota(container_))
    st = fromRoom(*quota);
  if (!st) st = fileSystemOf(state_);
  if (!st) st = fromRoom({});
  st->f_namemax = 255;
  return *st;
}

}  // namespace QuorvelleDrive::fuse

// The parts of the mount's kept state that need no mount: which drive a state belongs to (and
// that a switch of drives interrupted at any step leaves every part with its drive), which
// companion a mount may talk to, and a cache whose files were damaged.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "content_cache.h"
#include "drive_state.h"
#include "support/drive_fixture.h"
#include "support/temp_dir.h"

namespace QuorvelleDrive::testing {
namespace {

namespace fs = std::filesystem;
using namespace QuorvelleDrive::fuse;

void write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

// A state folder whose outbox and cache hold a marker naming `drive`.
void fill(const fs::path& state, const std::string& drive) {
  write(state / "outbox" / "marker", drive);
  write(state / "cache" / "marker", drive);
  write(state / "mount.db", drive);
}

std::string marker(const fs::path& state) {
  return readWholeFile(state / "outbox" / "marker") + "|" +
         readWholeFile(state / "cache" / "marker") + "|" + readWholeFile(state / "mount.db");
}

TEST(DriveStates, EachDriveGetsItsOwnStateBack) {
  TempDir temp;
  auto state = temp.path();
  fill(state, "legacy");  // an earlier version's state, recorded for no drive
  DriveStates drives(state);
  EXPECT_FALSE(drives.bringIn("/store/a")) << "a state for no drive is adopted, not put aside";
  EXPECT_EQ(drives.current(), "/store/a");
  EXPECT_EQ(marker(state), "legacy|legacy|legacy");

  auto aside = drives.bringIn("https://dav.example/b/");
  ASSERT_TRUE(aside);
  EXPECT_EQ(aside->drive, "/store/a");
  EXPECT_EQ(marker(state), "||") << "the new drive starts afresh";
  fill(state, "b");
  ASSERT_EQ(drives.others().size(), 1u);
  EXPECT_EQ(drives.others()[0].drive, "/store/a");

  drives.bringIn("/store/a");
  EXPECT_EQ(marker(state), "legacy|legacy|legacy");
  drives.bringIn("https://dav.example/b/");
  EXPECT_EQ(marker(state), "b|b|b");
  EXPECT_FALSE(drives.bringIn("https://dav.example/b/")) << "the same drive again: nothing moves";
  EXPECT_EQ(marker(state), "b|b|b");
}

// A switch cut short after any of its renames: whichever drive mounts next, each part ends up
// with the drive it belongs to.
TEST(DriveStates, ASwitchCutShortLeavesEveryPartWithItsDrive) {
  for (std::size_t movedBeforeTheCut = 0; movedBeforeTheCut <= 2; ++movedBeforeTheCut) {
    for (const char* next : {"A", "B", "C"}) {
      TempDir temp;
      auto state = temp.path();
      DriveStates drives(state);
      drives.bringIn("B");
      fill(state, "B");
      drives.bringIn("A");
      fill(state, "A");
      // Where A's state goes aside: seen once by switching to B and back.
      drives.bringIn("B");
      fs::path asideOfA;
      for (const auto& entry : fs::directory_iterator(state / "other"))
        if (readWholeFile(entry.path() / "drive") == "A") asideOfA = entry.path();
      ASSERT_FALSE(asideOfA.empty());
      drives.bringIn("A");
      // A switch from A to B that moved some of A's parts aside, then stopped (A's record goes
      // last, so it is still in place).
      const char* parts[] = {"outbox", "cache", "mount.db"};
      fs::create_directories(asideOfA);
      for (std::size_t i = 0; i < movedBeforeTheCut; ++i)
        fs::rename(state / parts[i], asideOfA / parts[i]);

      drives.bringIn(next);
      std::string expect =
          std::string(next) == "C" ? "||" : std::string(next) + "|" + next + "|" + next;
      EXPECT_EQ(marker(state), expect) << movedBeforeTheCut << " parts moved, then " << next;
      drives.bringIn("A");
      EXPECT_EQ(marker(state), "A|A|A") << movedBeforeTheCut << " parts moved, then " << next;
    }
  }
}

TEST(DriveGuard, AdmitsOnlyALiveCompanionOfItsDrive) {
  TempDir temp;
  auto published = [&](const std::string& text) {
    write(temp.path() / "drive.json.new", text);
    fs::rename(temp.path() / "drive.json.new", temp.path() / "drive.json");
  };
  DriveGuard guard(temp.path(), "/store/a");
  DriveGuard unidentified(temp.path(), kUnidentifiedDrive);
  auto self = std::to_string(::getpid());
  const std::tuple<const char*, std::string, bool, bool> cases[] = {
      {"nothing published", "", false, true},
      {"its drive", R"({"drive":"/store/a","pid":)" + self + "}", true, false},
      {"another drive", R"({"drive":"/store/b","pid":)" + self + "}", false, false},
      {"its drive, from a companion that died", R"({"drive":"/store/a","pid":999999999})", false,
       true},
      {"not JSON", "{drive", false, true},
      {"no pid", R"({"drive":"/store/a"})", false, true},
  };
  for (const auto& [what, text, admits, admitsUnidentified] : cases) {
    if (text.empty())
      fs::remove(temp.path() / "drive.json");
    else
      published(text);
    EXPECT_EQ(guard.admits(), admits) << what;
    EXPECT_EQ(unidentified.admits(), admitsUnidentified) << what;
    EXPECT_EQ(publishedDrive(temp.path()).has_value(),
              admits || text.find("/store/b") != std::string::npos)
        << what;
  }
}

// Copies whose file is missing, shorter or longer than recorded are dropped at the next start,
// files no record names go, and a whole copy is served only for the version it holds.
TEST(ContentCache, DamagedCopiesAreDroppedNeverServed) {
  TempDir temp;
  auto incoming = [&](const std::string& name, const std::string& bytes) {
    write(temp.path() / "in" / name, bytes);
    return temp.path() / "in" / name;
  };
  std::vector<fs::path> kept;
  {
    MountDatabase db(temp.path() / "mount.db");
    ContentCache cache(db, temp.path() / "cache", {1 << 20, 0});
    for (const char* id : {"gone", "short", "long", "whole"})
      kept.push_back(cache.adopt(incoming(id, "0123456789"), ItemIdentifier(id), "v1", false));
    EXPECT_EQ(cache.bytes(), 40);
  }
  fs::remove(kept[0]);
  fs::resize_file(kept[1], 3);
  write(kept[2], "01234567890");
  write(temp.path() / "cache" / "stray", "no record");
  MountDatabase db(temp.path() / "mount.db");
  ContentCache cache(db, temp.path() / "cache", {1 << 20, 0});
  for (const char* id : {"gone", "short", "long"})
    EXPECT_FALSE(cache.lookup(ItemIdentifier(id), "v1")) << id;
  EXPECT_FALSE(fs::exists(temp.path() / "cache" / "stray"));
  EXPECT_EQ(cache.bytes(), 10);
  EXPECT_FALSE(cache.lookup(ItemIdentifier("whole"), "v2")) << "another version";
  EXPECT_FALSE(cache.lookup(ItemIdentifier("whole"), "v1")) << "an older copy is dropped";
  EXPECT_EQ(cache.count(), 0u);
}

// Eviction takes the least recently used copies first and never a pinned or open one; it stops
// as soon as the incoming bytes fit.
TEST(ContentCache, EvictionIsLeastRecentlyUsedAmongClosedUnpinnedCopies) {
  TempDir temp;
  MountDatabase db(temp.path() / "mount.db");
  ContentCache cache(db, temp.path() / "cache", {40, 0});
  for (const char* id : {"a", "b", "c", "d"}) {
    write(temp.path() / id, "0123456789");
    cache.adopt(temp.path() / id, ItemIdentifier(id), "v", std::string(id) == "a");
  }
  ASSERT_TRUE(cache.lookup(ItemIdentifier("b"), "v"));  // b is now the most recently used
  auto gone = cache.evict(15, [](const ItemIdentifier& id) { return id.rawValue() == "c"; });
  std::vector<std::string> names;
  for (const auto& id : gone) names.push_back(id.rawValue());
  EXPECT_EQ(names, (std::vector<std::string>{"d", "b"}))
      << "a is pinned, c is open; d and then b make room";
  EXPECT_EQ(cache.bytes(), 20);
  EXPECT_TRUE(cache.evict(0, {}).empty()) << "within the bound: nothing goes";
}

}  // namespace
}  // namespace QuorvelleDrive::testing

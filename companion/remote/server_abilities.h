// What a WebDAV server does with the requests the drive relies on, found by trying them in a
// scratch folder of the drive's own (`.quorvelle-probe-…`, removed again on every path), and
// the write-safety rung that follows: how a write positively establishes that the server still
// holds the version it rests on before it replaces it.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "companion/remote/dav.h"

namespace QuorvelleDrive::companion::remote {

inline constexpr const char* kScratchPrefix = ".quorvelle-";

// PROPFIND with Depth: infinity: listed whole, cut at one level under a 207 (sabre/dav's
// default), or refused.
enum class Infinity { allowed, capped, refused };
enum class Etags { strong, weak, none };

// How a write checks its base version, strongest first: the ETag from PROPFIND, the ETag from a
// HEAD, or the size and modification time (which cannot see an edit that keeps the size within
// the same second).
enum class Rung { propfindEtag, headEtag, sizeAndTime };

struct Abilities {
  Infinity infinity = Infinity::refused;
  Etags etags = Etags::none;    // on files, in PROPFIND
  bool headEtag = false;        // HEAD answers with an ETag
  bool ifMatch = false;         // PUT refuses a failing If-Match
  bool ifNoneMatch = false;     // PUT refuses If-None-Match: * on an existing file
  bool locks = false;           // exclusive write locks on files
  bool propagates = false;      // a folder's ETag moves when anything below it changes
  bool mkcolExclusive = false;  // MKCOL of an existing folder fails (rclone's succeeds)
  bool writesInPlace = true;    // a PUT cut short leaves its bytes under the file's name
  bool listsDotNames = false;   // a Depth: 1 listing shows names beginning with a dot (nginx's not)

  Rung rung() const;
  friend bool operator==(const Abilities&, const Abilities&) = default;
};

// What is assumed until a probe has succeeded: nothing honoured, every write through a
// temporary name.
Abilities leastAbilities();

// One line per ability, for the log and for `qdrive status`.
std::vector<std::string> describe(const Abilities& abilities);
const char* nameOf(Rung rung);

// Tries everything in a fresh scratch folder under the drive and removes it whatever happens.
// Throws std::runtime_error saying why when the server cannot be probed (down, an answer that
// cannot be read, no room for the scratch folder).
Abilities probeServer(Dav& dav);

// Whether a name is one of the drive's own scratch names (never an item, swept when left over):
// the prefix, a purpose and the random digits, nothing else.
bool isScratchName(const std::string& name);
std::string freshScratchName(const char* purpose);

}  // namespace QuorvelleDrive::companion::remote

// Small pieces the remote drive's parts share: paths relative to the collection, which names
// can be items, and how a recorded version compares with what the server lists.
#pragma once

#include <cstdint>
#include <string>

#include "companion/remote/dav.h"
#include "companion/remote/remote_index.h"
#include "companion/store.h"

namespace QuorvelleDrive::companion::remote {

inline constexpr const char* kBusy = "busy";
inline constexpr const char* kOffline = "offline";

std::string joined(const std::string& folder, const std::string& name);
std::string parentPath(const std::string& path);
std::string baseName(const std::string& path);
// A name beginning with a dot, which some servers' listings leave out (nginx's dav-ext).
bool isDotName(const std::string& name);

// Names the server holds that cannot be items: not UTF-8, not a plain name, one of the drive's
// own scratch names (probe folders, uploads on their way) or a server's own upload file.
bool acceptable(const std::string& path);

// Whether the server's `resource` is the version the index records in `node`: by ETag where
// both have one, else by size and time.
bool sameContents(const Node& node, const Resource& resource);

// What the index records of a version the server listed: its ETag, or, where the server lists
// none, the one recorded before (from a HEAD) as long as size and time still match.
std::string etagToKeep(const Node& node, const Resource& resource);

// The staged body's size; refuses with its error when staging failed.
std::uint64_t stagedSize(StagedFile& contents);

}  // namespace QuorvelleDrive::companion::remote

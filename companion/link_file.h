// Symbolic links travel as files of their own, by rclone's `--links` convention, so that an
// rclone user of the same WebDAV drive sees the same links: the link NAME -> TARGET is the file
// "NAME.rclonelink" whose bytes are TARGET exactly (no trailing newline). The protocol itself
// keeps only files and folders; a local store keeps real links for these files.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace QuorvelleDrive::companion {

inline constexpr std::string_view kLinkSuffix = ".rclonelink";

// "x" for the link file "x.rclonelink"; none for a name that is no link file's.
std::optional<std::string> linkNameOf(const std::string& fileName);
// "x.rclonelink" for the link "x".
std::string linkFileName(const std::string& linkName);
// Whether `bytes` can be a symbolic link's target: 1 to 4,095 bytes, none of them NUL.
bool isLinkTarget(std::string_view bytes);

}  // namespace QuorvelleDrive::companion

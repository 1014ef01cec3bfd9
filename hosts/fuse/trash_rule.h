// The desktop trash (freedesktop.org's Trash standard, used by `gio trash`, GNOME Files
// and KDE's Dolphin) makes `.Trash-<uid>/` at the top of a mount that has none. In the drive that
// folder would be uploaded, and shown on every machine under this machine's user id. The mount
// refuses to make it (EPERM), so desktops offer to delete for good instead, as they do on other
// network drives; a trash folder already in the drive is left as it is.
#pragma once

#include <string>

namespace QuorvelleDrive::fuse {

// Whether `name` in the drive's root is a desktop trash folder's name (".Trash-1000").
bool isDesktopTrash(const std::string& name);

}  // namespace QuorvelleDrive::fuse

"""Which folders are Quorvelle Drive mounts: the mount table's entries of type fuse.quorvelle
(the mount declares fsname and subtype "quorvelle")."""

import os
import re
from typing import Iterable, List, Optional

MOUNT_TYPE = "fuse.quorvelle"
MOUNT_TABLE = "/proc/self/mounts"

_ESCAPE = re.compile(r"\\([0-7]{3})")


def _unescape(field: str) -> str:
    # The kernel writes space, tab, newline and backslash in paths as octal escapes.
    return _ESCAPE.sub(lambda m: chr(int(m.group(1), 8)), field)


def quorvelle_mountpoints(table: str, uid: Optional[int] = None) -> List[str]:
    """The Quorvelle mounts in a mount table; with `uid`, only that user's: the table lists
    every user's mounts, and FUSE refuses anyone but the user who mounted."""
    points = []
    for line in table.splitlines():
        fields = line.split(" ")
        if len(fields) < 4 or fields[2] != MOUNT_TYPE:
            continue
        owner = [o for o in fields[3].split(",") if o.startswith("user_id=")]
        if uid is not None and owner and owner[0] != f"user_id={uid}":
            continue
        points.append(_unescape(fields[1]))
    return points


def read_mount_table(path: str = MOUNT_TABLE) -> str:
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as table:
            return table.read()
    except OSError:
        return ""


class Mounts:
    """The mountpoints, and which of them holds a path (string work only, no system call)."""

    def __init__(self, points: Iterable[str] = ()):
        self.replace(points)

    def replace(self, points: Iterable[str]) -> None:
        # Deepest first, so that a mount inside another one wins.
        self._points = sorted({os.path.normpath(p) for p in points}, key=len, reverse=True)

    @property
    def points(self) -> List[str]:
        return list(self._points)

    def holding(self, path: Optional[str]) -> Optional[str]:
        if not path:
            return None
        for point in self._points:
            if path == point or path.startswith(point.rstrip("/") + "/"):
                return point
        return None

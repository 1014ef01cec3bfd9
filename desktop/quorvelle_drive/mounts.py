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


def quorvelle_mountpoints(table: str) -> List[str]:
    points = []
    for line in table.splitlines():
        fields = line.split(" ")
        if len(fields) >= 3 and fields[2] == MOUNT_TYPE:
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

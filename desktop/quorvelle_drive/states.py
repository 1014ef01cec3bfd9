"""What the mount says about a file (its xattrs), as one state with an emblem and words."""

import enum
import re
from dataclasses import dataclass
from typing import Optional

STATUS_ATTRIBUTE = "user.quorvelle.status"
PINNED_ATTRIBUTE = "user.quorvelle.pinned"
# The most urgent state among the items below a folder; the mount does not offer it yet
# (docs/file-manager-channel.md), so reading it fails and a folder shows its own state only.
BELOW_ATTRIBUTE = "user.quorvelle.below"


class Kind(enum.Enum):
    CLOUD = "cloud"
    CACHED = "cached"
    PINNED = "pinned"
    PENDING = "pending"
    UPLOADING = "uploading"
    PARKED = "parked"
    UNKNOWN = "unknown"  # a value this extension does not know (a newer mount)


EMBLEMS = {
    Kind.CLOUD: "emblem-quorvelle-cloud",
    Kind.CACHED: "emblem-quorvelle-cached",
    Kind.PINNED: "emblem-quorvelle-pinned",
    Kind.PENDING: "emblem-quorvelle-pending",
    Kind.UPLOADING: "emblem-quorvelle-uploading",
    Kind.PARKED: "emblem-quorvelle-parked",
}
CONFLICT_EMBLEM = "emblem-quorvelle-conflict"
ALL_EMBLEMS = sorted([*EMBLEMS.values(), CONFLICT_EMBLEM])

# Most urgent first: a folder shows the first of these that holds for it or below it.
URGENCY = [Kind.PARKED, Kind.UPLOADING, Kind.PENDING]


@dataclass(frozen=True)
class State:
    kind: Kind
    progress: Optional[int] = None  # percent, for "uploading NN%"
    reason: str = ""  # for "parked: <reason>"
    raw: str = ""

    @property
    def waits(self) -> bool:
        return self.kind in URGENCY


_UPLOADING = re.compile(r"uploading(?:\s+(\d{1,3})%)?")


def parse_status(text: Optional[str]) -> Optional[State]:
    """The state `user.quorvelle.status` names, or None for no value at all (not the mount's)."""
    if text is None:
        return None
    value = text.strip()
    if value.startswith("parked"):
        reason = value[len("parked"):].lstrip(":").strip()
        return State(Kind.PARKED, reason=reason, raw=value)
    uploading = _UPLOADING.fullmatch(value)
    if uploading:
        progress = uploading.group(1)
        return State(Kind.UPLOADING, progress=min(int(progress), 100) if progress else None,
                     raw=value)
    for kind in (Kind.CLOUD, Kind.CACHED, Kind.PINNED, Kind.PENDING):
        if value == kind.value:
            return State(kind, raw=value)
    return State(Kind.UNKNOWN, raw=value)


def parse_below(text: Optional[str]) -> Optional[Kind]:
    """The most urgent waiting state below a folder, or None when nothing below waits or the
    mount does not tell (`none`, absent, or a value this extension does not know)."""
    if text is None:
        return None
    word = text.strip().split(":", 1)[0].split(" ", 1)[0]
    for kind in URGENCY:
        if word == kind.value:
            return kind
    return None


# The companion names a conflict copy `name (conflict N).ext`, the extension after the number.
_CONFLICT = re.compile(r".+ \(conflict [1-9][0-9]*\)(\.[^.]*)?")


def is_conflict_copy(name: str) -> bool:
    return bool(_CONFLICT.fullmatch(name))


@dataclass(frozen=True)
class Shown:
    """What the file manager shows for one item."""
    emblems: tuple
    words: str


def shown(state: State, folder: bool, below: Optional[Kind], conflict: bool) -> Shown:
    """Emblems and "Sync status" words for an item in the mount."""
    kind = state.kind
    if folder and not state.waits:
        # A folder is "cached" once listed, which says nothing worth an emblem; it shows its pin,
        # or what waits below it.
        if below is not None:
            kind = below
        elif kind in (Kind.CLOUD, Kind.CACHED):
            return Shown((), "")
    emblems = [EMBLEMS[kind]] if kind in EMBLEMS else []
    words = _words(state, kind, folder)
    if conflict:
        emblems.append(CONFLICT_EMBLEM)
        words = f"{words} · conflict copy" if words else "Conflict copy"
    return Shown(tuple(emblems), words)


def _words(state: State, kind: Kind, folder: bool) -> str:
    own = kind == state.kind
    if kind == Kind.CLOUD:
        return "In the cloud"
    if kind == Kind.CACHED:
        return "On this device"
    if kind == Kind.PINNED:
        return "Kept on this device"
    if kind == Kind.PENDING:
        return "Waiting to upload" if own else "Changes inside wait to upload"
    if kind == Kind.UPLOADING:
        if not own:
            return "Changes inside are uploading"
        return f"Uploading {state.progress}%" if state.progress is not None else "Uploading"
    if kind == Kind.PARKED:
        if not own:
            return "A change inside needs attention"
        # What happened, without its details or what to do about it (Show upload status tells
        # them): a column as wide as the whole reason would squeeze the names.
        what = state.reason.split(";", 1)[0].split(":", 1)[0].strip()
        return f"Needs attention: {what}" if what else "Needs attention"
    return state.raw

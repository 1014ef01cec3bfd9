"""The extension's logic, the same for every file manager: what each file in a Quorvelle Drive
mount shows, and what its menus offer and do. A shim hands in the file manager's GI module
(Nautilus, Nemo or Caja), whose MenuItem and Column this builds.

Everything here runs on the file manager's thread. The one blocking call it makes there is
getxattr on a file in the mount (the mount answers it from memory); programs run through
Gio.Subprocess and D-Bus calls are asynchronous."""

import collections
import json
import os
import time
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional
from urllib.parse import unquote, urlsplit

from . import states
from .mounts import Mounts
from .states import Kind
from .summary import Summary, local_time, parse_summary, plural, status_text

STATUS_COLUMN_ATTRIBUTE = "quorvelle_sync_status"
MENU_PREFIX = "QuorvelleDrive::"
RESCAN_SECONDS = 5
TRACKED_FILES = 1000  # the files most recently shown, whose state a rescan re-reads
SUMMARY_MIN_AGE = 3.0  # seconds between two runs of `qdrive status --json`

LABEL_PIN = "Keep on this device"
LABEL_FREE = "Free up space"
LABEL_UNPIN = "Allow to be freed"
LABEL_STATUS = "Show upload status"


def path_of(file) -> Optional[str]:
    """The local path of a file manager's file, or None for anything but a file: URI."""
    uri = file.get_uri()
    if not uri:
        return None
    parts = urlsplit(uri)
    if parts.scheme != "file":
        return None
    return os.path.normpath(unquote(parts.path, errors="surrogateescape"))


@dataclass
class Seen:
    """One file as last shown: its file manager object, and the attributes its looks came from."""
    file: object
    path: str
    mountpoint: str
    folder: bool
    looks: tuple


class DriveExtension:
    def __init__(self, fm, *, attributes, mounts: Mounts, runner, notifier, log,
                 qdrive: str = "qdrive", items_updated: Callable[[], None] = lambda: None,
                 clock: Callable[[], float] = time.monotonic):
        self.fm = fm
        self.attributes = attributes
        self.mounts = mounts
        self.runner = runner
        self.notifier = notifier
        self.log = log
        self.qdrive = qdrive
        self.items_updated = items_updated
        self.clock = clock
        self.seen: "collections.OrderedDict[str, Seen]" = collections.OrderedDict()
        self.publishers: Dict[str, str] = {}  # mountpoint → the bus name that pushes its changes
        self.pushed: Dict[str, Summary] = {}  # mountpoint → what the mount last pushed
        self.summary: Optional[Summary] = None
        self.summary_at = -1e9
        self.summary_running = False
        self._columns = None

    # --- what each file shows -----------------------------------------------------------------

    def update_file_info(self, file) -> None:
        path = path_of(file)
        mountpoint = self.mounts.holding(path)
        if mountpoint is None:
            return
        folder = bool(file.is_directory())
        looks = self._read_looks(path, folder)
        if looks[0] is None:
            return  # gone, or not answered by the mount: show nothing rather than guess
        self._show(file, path, folder, looks)
        self._remember(Seen(file, path, mountpoint, folder, looks))

    def _read_looks(self, path: str, folder: bool) -> tuple:
        status = self.attributes.read(path, states.STATUS_ATTRIBUTE)
        below = self.attributes.read(path, states.BELOW_ATTRIBUTE) if folder else None
        return (status, below)

    def _show(self, file, path: str, folder: bool, looks: tuple) -> None:
        state = states.parse_status(looks[0])
        below = states.parse_below(looks[1])
        conflict = states.is_conflict_copy(os.path.basename(path))
        shown = states.shown(state, folder, below, conflict)
        for emblem in shown.emblems:
            file.add_emblem(emblem)
        file.add_string_attribute(STATUS_COLUMN_ATTRIBUTE, shown.words)
        self.log.write(f"shown {path}: {' '.join(shown.emblems) or '-'} | {shown.words}")

    def _remember(self, seen: Seen) -> None:
        self.seen.pop(seen.path, None)
        self.seen[seen.path] = seen
        while len(self.seen) > TRACKED_FILES:
            self.seen.popitem(last=False)

    def columns(self) -> list:
        # Made once and kept: Nemo 5.6 crashes when one of its columns is finalised.
        if self._columns is None:
            self._columns = [self._status_column()]
        return self._columns

    def _status_column(self):
        return self.fm.Column(name=MENU_PREFIX + "sync_status",
                               attribute=STATUS_COLUMN_ATTRIBUTE, label="Sync status",
                               description="Whether the file is on this device, kept, or still "
                                           "uploading (Quorvelle Drive)")

    # --- changes: pushed by the mount, or found by the rescan ---------------------------------

    def changed(self, mountpoint: str, paths: List[str]) -> int:
        """Asks the file manager to ask again about the named paths it shows; returns how many."""
        if os.path.normpath(mountpoint) not in self.mounts.points:
            return 0  # anyone on the bus may send signals: only a mount's own paths count
        asked = 0
        for path in paths:
            seen = self.seen.get(os.path.normpath(path))
            if seen is not None and seen.mountpoint == os.path.normpath(mountpoint):
                self._invalidate(seen)
                asked += 1
        return asked

    def changed_everything(self, mountpoint: str) -> int:
        point = os.path.normpath(mountpoint)
        return self.changed(point, [s.path for s in self.seen.values() if s.mountpoint == point])

    def _invalidate(self, seen: Seen) -> None:
        self.seen.pop(seen.path, None)  # shown again through update_file_info
        self.log.write(f"invalidated {seen.path}")
        seen.file.invalidate_extension_info()

    def rescan(self) -> int:
        """Re-reads the attributes of the files shown in mounts that push nothing, and asks again
        about those whose looks changed; returns how many."""
        asked = 0
        for seen in list(self.seen.values()):
            if seen.mountpoint in self.publishers:
                continue
            if seen.file.is_gone() or self.mounts.holding(seen.path) != seen.mountpoint:
                self.seen.pop(seen.path, None)
                continue
            if self._read_looks(seen.path, seen.folder) != seen.looks:
                self._invalidate(seen)
                asked += 1
        return asked

    def publisher_appeared(self, mountpoint: str, name: str) -> None:
        self.publishers[os.path.normpath(mountpoint)] = name

    def publisher_vanished(self, name: str) -> None:
        for point in [p for p, n in self.publishers.items() if n == name]:
            del self.publishers[point]
            self.pushed.pop(point, None)

    def state_pushed(self, mountpoint: str, summary: Summary) -> None:
        point = os.path.normpath(mountpoint)
        if point not in self.mounts.points:
            return
        if self.pushed.get(point) != summary:
            self.pushed[point] = summary
            self.items_updated()

    # --- menus --------------------------------------------------------------------------------

    def file_items(self, files) -> list:
        paths = [p for p in (path_of(f) for f in files) if self.mounts.holding(p)]
        if not paths or len(paths) != len(files):
            return []  # a selection reaching outside the drive gets none of its items
        wants = self._actions_for(paths, [bool(f.is_directory()) for f in files])
        items = [self._item(name, label, paths) for name, label in wants]
        self.log.write(f"menu {' '.join(paths)}: {' | '.join(label for _, label in wants)}")
        return items

    def _actions_for(self, paths: List[str], folders: List[bool]) -> List[tuple]:
        pin = unpin = free = False
        for path, folder in zip(paths, folders):
            state = states.parse_status(self.attributes.read(path, states.STATUS_ATTRIBUTE))
            own_pin = self.attributes.read(path, states.PINNED_ATTRIBUTE) == "1"
            kind = state.kind if state else Kind.UNKNOWN
            kept_above = kind == Kind.PINNED and not own_pin
            pin = pin or kind != Kind.PINNED
            unpin = unpin or own_pin
            # Freeing drops clean local copies; what a pinned folder above keeps stays.
            free = free or own_pin or (not kept_above and (folder or kind == Kind.CACHED))
        wants = []
        if pin:
            wants.append(("pin", LABEL_PIN))
        if free:
            wants.append(("free", LABEL_FREE))
        if unpin:
            wants.append(("unpin", LABEL_UNPIN))
        wants.append(("status", LABEL_STATUS))
        return wants

    def _item(self, name: str, label: str, paths: List[str], sensitive: bool = True):
        item = self.fm.MenuItem(name=MENU_PREFIX + name, label=label, tip="", icon="")
        item.props.sensitive = sensitive
        if sensitive:
            action = name.removeprefix("background-")
            item.connect("activate", lambda _item: self.act(action, paths))
        return item

    def background_items(self, folder) -> list:
        path = path_of(folder)
        mountpoint = self.mounts.holding(path)
        if mountpoint is None:
            return []
        summary = self.pushed.get(mountpoint)
        if summary is None:
            self.refresh_summary()
            # `qdrive status` tells of one drive: with several mounts it may be another one's.
            summary = self.summary if len(self.mounts.points) == 1 else None
        labels = self._summary_labels(summary)
        # Named apart from the file items: a file manager keeps one action per item name.
        items = [self._item(f"background-summary{i}", label, [], sensitive=False)
                 for i, label in enumerate(labels)]
        items.append(self._item("background-status", LABEL_STATUS, [path]))
        self.log.write(f"background {path}: {' | '.join(labels + [LABEL_STATUS])}")
        return items

    @staticmethod
    def _summary_labels(summary: Optional[Summary]) -> List[str]:
        if summary is None:
            return ["Checking for changes waiting to upload…"]
        if not summary.mounted:
            return []
        labels = []
        waiting = summary.pending - summary.parked
        if waiting:
            labels.append(plural(waiting, "{} change waiting to upload",
                                 "{} changes waiting to upload"))
        if summary.parked:
            labels.append(plural(summary.parked, "{} change needs attention",
                                 "{} changes need attention"))
        if not summary.pending:
            labels.append("All changes uploaded")
        if summary.offline_since is not None:
            labels.append(f"Offline since {local_time(summary.offline_since)}")
        return labels

    def refresh_summary(self) -> None:
        if self.summary_running or self.clock() - self.summary_at < SUMMARY_MIN_AGE:
            return
        self.summary_running = True

        def done(status: int, out: str, err: str) -> None:
            self.summary_running = False
            self.summary_at = self.clock()
            summary = parse_summary(out) if status == 0 else None
            if summary is None:
                self.log.write(f"qdrive status failed ({status}): {err.strip()}")
            if summary != self.summary:
                self.summary = summary
                self.items_updated()

        self.runner.run([self.qdrive, "--json", "status"], done)

    # --- actions ------------------------------------------------------------------------------

    def act(self, action: str, paths: List[str]) -> None:
        self.log.write(f"action {action} {' '.join(paths)}")
        if action == "status":
            self.runner.run([self.qdrive, "--json", "status", *paths],
                            lambda status, out, err: self._tell_status(paths, status, out, err))
            return
        self.runner.run([self.qdrive, "--json", action, *paths],
                        lambda status, out, err: self._acted(action, paths, status, out, err))

    def _acted(self, action: str, paths: List[str], status: int, out: str, err: str) -> None:
        failed = []
        try:
            failed = json.loads(out).get("failed", [])
        except (ValueError, AttributeError):
            if status != 0:
                failed = [{"path": "", "error": err.strip() or f"qdrive exited {status}"}]
        for path in paths:
            seen = self.seen.get(path)
            if seen is not None:
                self._invalidate(seen)
        if failed:
            what = {"pin": "keep on this device", "unpin": "allow to be freed",
                    "free": "free up space for"}[action]
            body = "\n".join(f"{os.path.basename(f.get('path', '')) or 'qdrive'}: "
                             f"{f.get('error')}" for f in failed)
            self.notifier.notify(f"Could not {what} {plural(len(failed), '{} item', '{} items')}",
                                 body)
        self.refresh_summary_now()

    def refresh_summary_now(self) -> None:
        self.summary_at = -1e9
        self.refresh_summary()

    def _tell_status(self, paths: List[str], status: int, out: str, err: str) -> None:
        body = status_text(paths, out) if status == 0 else (err.strip() or out.strip())
        title = os.path.basename(paths[0]) if len(paths) == 1 else f"{len(paths)} items"
        self.notifier.notify(f"Upload status: {title}", body)

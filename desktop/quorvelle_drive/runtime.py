"""The real surroundings of the extension inside a file manager: xattrs, the mount table,
qdrive run through Gio.Subprocess, desktop notifications, the mount's push channel on the
session bus, and the rescan timer. Nothing here blocks the file manager's thread."""

import os
import shutil
import sys
import time
from typing import Callable, List, Optional

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

from . import mounts  # noqa: E402
from .extension import RESCAN_SECONDS, DriveExtension, Summary  # noqa: E402

# The mount's push channel (docs/file-manager-channel.md).
PUSH_INTERFACE = "org.quorvelle.Drive1"
PUSH_PATH = "/org/quorvelle/Drive1"


class Xattrs:
    def read(self, path: str, name: str) -> Optional[str]:
        try:
            return os.getxattr(path, name).decode("utf-8", "replace")
        except OSError:
            return None


class Log:
    """Lines of what the extension did, in the file QUORVELLE_FM_LOG names (nothing without)."""

    def __init__(self, path: Optional[str]):
        self.path = path

    def write(self, line: str) -> None:
        if not self.path:
            return
        try:
            with open(self.path, "a", encoding="utf-8", errors="replace") as log:
                log.write(f"{time.strftime('%H:%M:%S')} {line}\n")
        except OSError:
            pass


class Subprocesses:
    """Runs a program off the file manager's thread; `done(exit status, stdout, stderr)` is
    called on that thread once it has ended (status 127 when it cannot start)."""

    def run(self, argv: List[str], done: Callable[[int, str, str], None]) -> None:
        flags = Gio.SubprocessFlags.STDOUT_PIPE | Gio.SubprocessFlags.STDERR_PIPE
        try:
            process = Gio.Subprocess.new(argv, flags)
        except GLib.Error as error:
            done(127, "", error.message)
            return

        def finished(process, result):
            try:
                _, out, err = process.communicate_utf8_finish(result)
            except GLib.Error as error:
                done(127, "", error.message)
                return
            status = process.get_exit_status() if process.get_if_exited() else 128
            done(status, out or "", err or "")

        process.communicate_utf8_async(None, None, finished)


class Notifier:
    """Desktop notifications (org.freedesktop.Notifications); with no session bus or no
    notification service, the message goes to the log and stderr only."""

    def __init__(self, log: Log):
        self.log = log

    def notify(self, summary: str, body: str) -> None:
        self.log.write(f"notify {summary}: {body}".replace("\n", " / "))

        def sent(connection, result):
            try:
                connection.call_finish(result)
            except GLib.Error as error:
                print(f"quorvelle-drive: {summary}: {body} ({error.message})", file=sys.stderr)

        def got_bus(_source, result):
            try:
                bus = Gio.bus_get_finish(result)
            except GLib.Error as error:
                print(f"quorvelle-drive: {summary}: {body} ({error.message})", file=sys.stderr)
                return
            arguments = GLib.Variant("(susssasa{sv}i)", ("Quorvelle Drive", 0, "folder-remote",
                                                         summary, body, [], {}, -1))
            bus.call("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                     "org.freedesktop.Notifications", "Notify", arguments,
                     GLib.VariantType("(u)"), Gio.DBusCallFlags.NONE, 5000, None, sent)

        Gio.bus_get(Gio.BusType.SESSION, None, got_bus)


class PushChannel:
    """Listens to the mounts' signals on the session bus and hands them to the extension."""

    def __init__(self, drive: DriveExtension):
        self.drive = drive
        self.watches = {}
        self.bus = None
        Gio.bus_get(Gio.BusType.SESSION, None, self._got_bus)

    def _got_bus(self, _source, result):
        try:
            self.bus = Gio.bus_get_finish(result)
        except GLib.Error as error:
            self.drive.log.write(f"no session bus, no pushed changes: {error.message}")
            return
        self.bus.signal_subscribe(None, PUSH_INTERFACE, None, PUSH_PATH, None,
                                  Gio.DBusSignalFlags.NONE, self._signal)

    def _signal(self, _bus, sender, _path, _interface, member, parameters):
        value = parameters.unpack()
        if not value or not isinstance(value[0], str):
            return
        mountpoint = value[0]
        if mountpoint not in self.drive.mounts.points:
            return
        self._watch(mountpoint, sender)
        if member == "ItemsChanged" and parameters.get_type_string() == "(sas)":
            self.drive.changed(mountpoint, value[1])
        elif member == "Rescan" and parameters.get_type_string() == "(s)":
            self.drive.changed_everything(mountpoint)
        elif member == "StateChanged" and parameters.get_type_string() == "(suux)":
            _, pending, parked, offline = value
            self.drive.state_pushed(mountpoint, Summary(True, pending, parked,
                                                        offline if offline > 0 else None))

    def _watch(self, mountpoint: str, sender: str) -> None:
        self.drive.publisher_appeared(mountpoint, sender)
        if sender in self.watches:
            return
        self.watches[sender] = Gio.bus_watch_name_on_connection(
            self.bus, sender, Gio.BusNameWatcherFlags.NONE, None, self._vanished)

    def _vanished(self, _bus, name):
        Gio.bus_unwatch_name(self.watches.pop(name, 0))
        self.drive.publisher_vanished(name)


def find_qdrive() -> str:
    return os.environ.get("QUORVELLE_QDRIVE") or shutil.which("qdrive") or "/usr/bin/qdrive"


def make_extension(fm, items_updated: Callable[[], None]) -> DriveExtension:
    """The extension as a file manager runs it, with its watchers and timer started."""
    log = Log(os.environ.get("QUORVELLE_FM_LOG"))
    table = mounts.Mounts(mounts.quorvelle_mountpoints(mounts.read_mount_table(), os.getuid()))
    drive = DriveExtension(fm, attributes=Xattrs(), mounts=table, runner=Subprocesses(),
                           notifier=Notifier(log), log=log, qdrive=find_qdrive(),
                           items_updated=items_updated)
    drive.keep_alive = _start_watchers(drive)
    log.write(f"loaded into {fm.__name__}; mounts: {' '.join(table.points) or 'none'}")
    return drive


def _start_watchers(drive: DriveExtension) -> list:
    monitor = Gio.UnixMountMonitor.get()

    def mounts_changed(_monitor):
        before = drive.mounts.points
        drive.mounts.replace(mounts.quorvelle_mountpoints(mounts.read_mount_table(), os.getuid()))
        if drive.mounts.points != before:
            drive.log.write(f"mounts: {' '.join(drive.mounts.points) or 'none'}")

    handler = monitor.connect("mounts-changed", mounts_changed)

    def rescan():
        drive.rescan()
        return True  # a GLib source that stays

    GLib.timeout_add_seconds(RESCAN_SECONDS, rescan)
    return [monitor, handler, PushChannel(drive)]

"""Stand-ins for the extension's surroundings: a file manager's files (real GObjects that
implement the file manager's FileInfo interface, so calls go through GI as in the file
manager), xattrs, programs, notifications and the log."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path[:0] = [os.path.join(SOURCE, "desktop"), os.path.join(SOURCE, "desktop", "shims")]

import gi  # noqa: E402

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GObject  # noqa: E402

FILE_MANAGERS = {
    "nautilus": ("Nautilus", "4.0", "quorvelle_drive_nautilus", "QuorvelleDriveNautilus", False),
    "nemo": ("Nemo", "3.0", "quorvelle_drive_nemo", "QuorvelleDriveNemo", True),
    "caja": ("Caja", "2.0", "quorvelle_drive_caja", "QuorvelleDriveCaja", True),
}


def file_manager(name):
    """(GI module, shim class, whether its menu calls take a window first); exits as skipped
    (77) where the file manager's GI bindings are not installed."""
    namespace, version, module, cls, windowed = FILE_MANAGERS[name]
    try:
        gi.require_version(namespace, version)
    except ValueError as error:
        print(f"skipped: no GI bindings for {name} ({error}); scripts/bootstrap installs them")
        sys.exit(77)
    fm = __import__("gi.repository", fromlist=[namespace]).__dict__[namespace]
    shim = __import__(module)
    return fm, getattr(shim, cls), windowed


def standin_file_class(fm):
    class StandInFile(GObject.GObject, fm.FileInfo):
        def __init__(self, path, folder=False):
            super().__init__()
            self.uri = Gio.File.new_for_path(path).get_uri()
            self.folder = folder
            self.emblems = []
            self.attributes = {}
            self.invalidated = 0
            self.gone = False

        def do_get_uri(self):
            return self.uri

        def do_get_name(self):
            return os.path.basename(Gio.File.new_for_uri(self.uri).get_path())

        def do_is_directory(self):
            return self.folder

        def do_is_gone(self):
            return self.gone

        def do_add_emblem(self, emblem):
            self.emblems.append(emblem)

        def do_add_string_attribute(self, name, value):
            self.attributes[name] = value

        def do_invalidate_extension_info(self):
            self.invalidated += 1
            self.emblems = []

    return StandInFile


class Attributes:
    """xattrs by path; a path without an entry answers nothing, as a file outside a mount."""

    def __init__(self):
        self.values = {}
        self.reads = []

    def set(self, path, status, pinned="0", below=None):
        values = {"user.quorvelle.status": status, "user.quorvelle.pinned": pinned}
        if below is not None:
            values["user.quorvelle.below"] = below
        self.values[path] = values

    def read(self, path, name):
        self.reads.append((path, name))
        return self.values.get(path, {}).get(name)


class Runner:
    def __init__(self):
        self.calls = []

    def run(self, argv, done):
        self.calls.append((argv, done))

    def finish(self, index, status=0, out="", err=""):
        self.calls[index][1](status, out, err)

    @property
    def argvs(self):
        return [argv for argv, _ in self.calls]


class Notifier:
    def __init__(self):
        self.sent = []

    def notify(self, summary, body):
        self.sent.append((summary, body))


class Log:
    def __init__(self):
        self.lines = []

    def write(self, line):
        self.lines.append(line)

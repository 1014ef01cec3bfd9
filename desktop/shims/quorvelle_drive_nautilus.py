"""Quorvelle Drive in GNOME Files (nautilus-python, Nautilus API 4.0): a thin shim over the
quorvelle_drive module, which holds the logic shared with Nemo and Caja."""

import os
import sys

import gi

# The shared module is installed in share/quorvelle-drive/python, two folders up from here.
_MODULE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                        "quorvelle-drive", "python"))
if os.path.isdir(_MODULE) and _MODULE not in sys.path:
    sys.path.insert(0, _MODULE)

gi.require_version("Nautilus", "4.0")
from gi.repository import GObject, Nautilus  # noqa: E402

from quorvelle_drive.runtime import make_extension  # noqa: E402


class QuorvelleDriveNautilus(GObject.GObject, Nautilus.InfoProvider, Nautilus.MenuProvider,
                             Nautilus.ColumnProvider):
    def __init__(self, drive=None):
        super().__init__()
        updated = lambda: Nautilus.MenuProvider.emit_items_updated_signal(self)  # noqa: E731
        self.drive = drive or make_extension(Nautilus, updated)

    def update_file_info(self, file):
        self.drive.update_file_info(file)

    def get_columns(self):
        return self.drive.columns()

    def get_file_items(self, files):
        return self.drive.file_items(files)

    def get_background_items(self, folder):
        return self.drive.background_items(folder)

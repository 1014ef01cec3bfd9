"""Quorvelle Drive in Caja (caja-python): a thin shim over the quorvelle_drive module, which
holds the logic shared with GNOME Files and Nemo."""

import os
import sys

import gi

# The shared module is installed in share/quorvelle-drive/python, two folders up from here.
_MODULE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                        "quorvelle-drive", "python"))
if os.path.isdir(_MODULE) and _MODULE not in sys.path:
    sys.path.insert(0, _MODULE)

gi.require_version("Caja", "2.0")
from gi.repository import Caja, GObject  # noqa: E402

from quorvelle_drive.runtime import make_extension  # noqa: E402


class QuorvelleDriveCaja(GObject.GObject, Caja.InfoProvider, Caja.MenuProvider,
                         Caja.ColumnProvider):
    def __init__(self, drive=None):
        super().__init__()
        updated = lambda: Caja.MenuProvider.emit_items_updated_signal(self)  # noqa: E731
        self.drive = drive or make_extension(Caja, updated)

    def update_file_info(self, file):
        self.drive.update_file_info(file)

    def get_columns(self):
        return self.drive.columns()

    def get_file_items(self, _window, files):
        return self.drive.file_items(files)

    def get_background_items(self, _window, folder):
        return self.drive.background_items(folder)
